#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>

#include "common/decimal.hpp"
#include "field/chunks.hpp"
#include "field/field_hex.hpp"
#include "shamir/shamir.hpp"
#include "shamir/shamir_share.hpp"
#include "test_support.hpp"

namespace varnhold {
namespace {

using testing::counting_secret;
using testing::element_bytes;
using testing::hex;
using testing::ScriptedSource;

constexpr uint128 p = field_modulus;

TEST(SecretChunks, BigEndianChunksAndLow64BitsBack) {
    const SecretChunks chunks = secret_to_chunks(counting_secret());
    EXPECT_EQ(hex(chunks[0].value), "00000000000000000001020304050607");
    EXPECT_EQ(hex(chunks[3].value), "000000000000000018191a1b1c1d1e1f");

    const SecretChunks all_ones = secret_to_chunks(std::string(32, '\xff'));
    SecretBytes back;
    chunks_to_secret(all_ones.chunks, back);
    for (const std::uint8_t byte : back.bytes) EXPECT_EQ(byte, 0xff);

    // Bits above the lowest 64 are dropped.
    std::array<FieldElement, chunk_count> wide{};
    wide[1] = FieldElement{(uint128{1} << 64) + 5};
    chunks_to_secret(wide, back);
    const std::array<std::uint8_t, 8> five = {0, 0, 0, 0, 0, 0, 0, 5};
    EXPECT_TRUE(std::equal(five.begin(), five.end(), back.bytes.begin() + 8));
}

struct ParseCase {
    std::string text;
    std::string outcome;  // "index=N" or the expected message
};

TEST(ShamirShareText, ParseRules) {
    const std::string v = ":" + std::string(32, '0');
    const std::string values = v + v + v + v;
    const std::string p_decimal = "170141183460469231731687303715884105727";
    const ParseCase cases[] = {
        {"7" + values, "index=7"},
        {"+7" + values, "index=7"},
        {"007" + values, "index=7"},
        {"0" + values, "index=0"},
        {"170141183460469231731687303715884105726" + values, "index=p-1"},
        {"-7" + values, "Invalid share index: -7"},
        {"0x7" + values, "Invalid share index: 0x7"},
        {" 7" + values, "Invalid share index:  7"},
        {"7 " + values, "Invalid share index: 7 "},
        {values, "Invalid share index: "},
        {"+" + values, "Invalid share index: +"},
        {"-" + values, "Invalid share index: -"},
        {"++7" + values, "Invalid share index: ++7"},
        {std::string(39, '9') + values, "Invalid share index: " + std::string(39, '9')},
        // 2^128 is the first number that does not fit; 2^128 - 1 fits but is not below p.
        {"340282366920938463463374607431768211456" + values,
         "Invalid share index: 340282366920938463463374607431768211456"},
        {"340282366920938463463374607431768211455" + values,
         "Invalid share index: 340282366920938463463374607431768211455 must be < 2^127-1"},
        {p_decimal + values, "Invalid share index: " + p_decimal + " must be < 2^127-1"},
        {"+0" + p_decimal + values, "Invalid share index: " + p_decimal + " must be < 2^127-1"},
        {"7" + values + ":", "Invalid format"},
        {"7" + v + v + v, "Invalid format"},
        {"", "Invalid format"},
        {"7" + v + v + v + ":" + std::string(31, '0'),
         "Invalid share value: expected exactly 32 hex chars"},
        {"7" + v + v + ":7fffffffffffffffffffffffffffffff" + v,
         "Invalid share value: value must be < 2^127-1"},
        {"x:" + std::string(31, '0') + ":::", "Invalid share index: x"},
    };
    for (const ParseCase& c : cases) {
        const Result<ShamirShare> parsed = parse_shamir_share(c.text);
        if (c.outcome.rfind("index=", 0) == 0) {
            ASSERT_TRUE(parsed.ok()) << c.text << ": " << parsed.error().message;
            const std::string expected = c.outcome.substr(6);
            EXPECT_EQ(expected == "p-1" ? p - 1 : static_cast<uint128>(std::stoull(expected)),
                      parsed->index);
        } else {
            ASSERT_FALSE(parsed.ok()) << c.text;
            EXPECT_EQ(parsed.error().message, c.outcome) << c.text;
        }
    }
}

TEST(ShamirShareText, UppercaseValuesParseAndFormatRoundTrips) {
    std::array<FieldElement, chunk_count> values = {FieldElement{1}, FieldElement{p - 1},
                                                    FieldElement{0xabcdef}, FieldElement{0}};
    const std::string text = format_shamir_share(12, values);
    EXPECT_EQ(text.size(), 2u + 4 * 33);
    std::string upper = text;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    for (const std::string& variant : {text, upper}) {
        const Result<ShamirShare> parsed = parse_shamir_share(variant);
        ASSERT_TRUE(parsed.ok());
        EXPECT_EQ(parsed->index, 12u);
        EXPECT_EQ(parsed->values, values);
    }
}

std::vector<std::string> split_shares(const std::string& secret, std::uint64_t k, std::uint64_t n,
                                      ByteSource& source) {
    VectorShareWriter writer;
    const Result<void> done = shamir_split(secret, k, n, source, writer);
    EXPECT_TRUE(done.ok());
    return writer.texts;
}

TEST(ShamirSplit, AllOnesSourceMakesEveryCoefficientZero) {
    // Every coefficient draws p, which folds to 0: each share carries the chunks themselves.
    ScriptedSource source({}, 0xff);
    const std::vector<std::string> shares = split_shares(counting_secret(), 3, 4, source);
    ASSERT_EQ(shares.size(), 4u);
    EXPECT_EQ(source.consumed, 4u * 2 * 16);
    const SecretChunks chunks = secret_to_chunks(counting_secret());
    for (std::size_t x = 1; x <= 4; ++x) {
        std::string expected = std::to_string(x);
        for (std::size_t c = 0; c < chunk_count; ++c) expected += ":" + hex(chunks[c].value);
        EXPECT_EQ(shares[x - 1], expected);
    }
}

TEST(ShamirSplit, ScriptedCoefficientsGiveTheirPolynomialValues) {
    // Coefficients drawn chunk by chunk: chunk c gets a(c,1) = 10 + c, a(c,2) = p - 1 - c.
    std::vector<std::uint8_t> script;
    std::vector<std::array<uint128, 2>> coefficients;
    for (uint128 c = 0; c < 4; ++c) {
        coefficients.push_back({10 + c, p - 1 - c});
        for (const uint128 a : coefficients.back()) {
            const std::vector<std::uint8_t> bytes = element_bytes(a);
            script.insert(script.end(), bytes.begin(), bytes.end());
        }
    }
    ScriptedSource source(script);
    const std::vector<std::string> shares = split_shares(counting_secret(), 3, 5, source);
    const SecretChunks chunks = secret_to_chunks(counting_secret());
    for (uint128 x = 1; x <= 5; ++x) {
        std::string expected = to_decimal(x);
        for (std::size_t c = 0; c < chunk_count; ++c) {
            // chunk + a1 x + a2 x^2 with a2 = -(1 + c), computed in plain integers.
            const uint128 positive = chunks[c].value + coefficients[c][0] * x;
            const uint128 negative = (1 + c) * x * x;
            expected += ":" + hex((positive + p - negative) % p);
        }
        EXPECT_EQ(shares[static_cast<std::size_t>(x - 1)], expected);
    }
}

struct ValidationCase {
    std::size_t secret_length;
    std::uint64_t k;
    std::uint64_t n;
    const char* message;
};

TEST(ShamirSplit, ValidationOrderAndNoDrawBeforeIt) {
    const ValidationCase cases[] = {
        {31, 1, 0, "Secret must be 32 bytes"},
        {33, 2, 3, "Secret must be 32 bytes"},
        {0, 2, 3, "Secret must be 32 bytes"},
        {32, 1, 3, "Invalid k/n parameters"},
        {32, 0, 3, "Invalid k/n parameters"},
        {32, 3, 2, "Invalid k/n parameters"},
        {32, 1048578, 1048577, "Invalid k/n parameters"},
        {32, 2, 1048577, "Invalid n: must be <= 1048576"},
        {32, UINT64_MAX, UINT64_MAX, "Invalid n: must be <= 1048576"},
    };
    for (const ValidationCase& c : cases) {
        ScriptedSource source({});
        VectorShareWriter writer;
        const Result<void> done =
            shamir_split(std::string(c.secret_length, 'x'), c.k, c.n, source, writer);
        ASSERT_FALSE(done.ok());
        EXPECT_EQ(done.error().message, c.message);
        EXPECT_EQ(source.requests, 0u);
        EXPECT_TRUE(writer.texts.empty());
    }
}

class RandomSource final : public ByteSource {
public:
    explicit RandomSource(std::uint64_t seed) : rng_(seed) {}
    void fill(std::uint8_t* data, std::size_t length) override {
        for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(rng_());
    }

private:
    std::mt19937_64 rng_;
};

Result<SecretBytes> combine(const std::vector<std::string>& texts, std::uint64_t k) {
    std::vector<std::string_view> views(texts.begin(), texts.end());
    return shamir_combine(views, k);
}

std::string as_string(const SecretBytes& secret) {
    return std::string(secret.bytes.begin(), secret.bytes.end());
}

TEST(ShamirCombine, AnyKSharesInAnyOrderRebuildTheSecret) {
    std::mt19937_64 rng(7);
    for (const std::uint64_t k : {2u, 3u, 5u, 16u}) {
        RandomSource source(k);
        std::string secret(32, '\0');
        for (char& byte : secret) byte = static_cast<char>(rng());
        std::vector<std::string> shares = split_shares(secret, k, k + 4, source);
        for (int round = 0; round < 10; ++round) {
            std::shuffle(shares.begin(), shares.end(), rng);
            const Result<SecretBytes> rebuilt = combine(shares, k);
            ASSERT_TRUE(rebuilt.ok()) << rebuilt.error().message;
            EXPECT_EQ(as_string(*rebuilt), secret);
            // One share short of the threshold rebuilds something else.
            std::vector<std::string> short_list(shares.begin(), shares.begin() + (k - 1));
            const Result<SecretBytes> wrong = combine(short_list, k - 1);
            if (k > 2) {
                EXPECT_NE(as_string(*wrong), secret);
            }
        }
    }
}

TEST(ShamirCombine, OnlyTheFirstKSharesAreRead) {
    RandomSource source(1);
    const std::string secret = counting_secret();
    std::vector<std::string> shares = split_shares(secret, 2, 2, source);
    shares.push_back("not a share");
    const Result<SecretBytes> rebuilt = combine(shares, 2);
    ASSERT_TRUE(rebuilt.ok());
    EXPECT_EQ(as_string(*rebuilt), secret);
}

TEST(ShamirCombine, ShareAtZeroIsTheSecret) {
    std::array<FieldElement, chunk_count> values = {FieldElement{1}, FieldElement{2},
                                                    FieldElement{3}, FieldElement{4}};
    std::array<FieldElement, chunk_count> other = {FieldElement{9}, FieldElement{p - 1},
                                                   FieldElement{0}, FieldElement{5}};
    const Result<SecretBytes> rebuilt =
        combine({format_shamir_share(5, other), format_shamir_share(0, values)}, 2);
    ASSERT_TRUE(rebuilt.ok());
    for (std::size_t c = 0; c < chunk_count; ++c) {
        EXPECT_EQ(rebuilt->bytes[8 * c + 7], c + 1);
    }
}

struct CombineFailure {
    std::vector<std::string> shares;
    std::uint64_t k;
    const char* message;
};

TEST(ShamirCombine, FailuresInOrder) {
    const std::string v = ":" + std::string(32, '0');
    const std::string good = "1" + v + v + v + v;
    const std::string good2 = "2" + v + v + v + v;
    const CombineFailure cases[] = {
        {{}, 0, "Invalid k: threshold must be at least 2"},
        {{}, 1, "Invalid k: threshold must be at least 2"},
        {{good, good2}, 3, "Need at least 3 shares"},
        {{good, "+01" + v + v + v + v}, 2, "Duplicate share index 1"},
        // The index is checked for duplicates before the values are read.
        {{good, "1" + v + v + v + ":zz"}, 2, "Duplicate share index 1"},
        {{good, "2" + v + v + v + ":" + std::string(31, '0')},
         2,
         "Invalid share value: expected exactly 32 hex chars"},
        {{"2" + v + v + v, good}, 2, "Invalid format"},
        {{good, good2, good}, 3, "Duplicate share index 1"},
    };
    for (const CombineFailure& c : cases) {
        const Result<SecretBytes> result = combine(c.shares, c.k);
        ASSERT_FALSE(result.ok()) << c.message;
        EXPECT_EQ(result.error().message, c.message);
    }
}

}  // namespace
}  // namespace varnhold
