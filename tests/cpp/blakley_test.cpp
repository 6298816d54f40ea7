#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "blakley/blakley.hpp"
#include "blakley/blakley_share.hpp"
#include "blakley/linear_solver.hpp"
#include "common/memory_limit.hpp"
#include "test_support.hpp"

namespace varnhold {
namespace {

using testing::counting_secret;
using testing::element_bytes;
using testing::GeneratorSource;
using testing::hex;
using testing::ref_add;
using testing::ref_mul;
using testing::ScriptedSource;

constexpr uint128 p = field_modulus;

std::string share_text(const std::vector<uint128>& coefficients,
                       const std::vector<uint128>& constants) {
    std::string text;
    for (std::size_t t = 0; t < coefficients.size(); ++t)
        text += (t ? "," : "") + hex(coefficients[t]);
    for (const uint128 c : constants) text += ":" + hex(c);
    return text;
}

uint128 random_below_p(std::mt19937_64& engine) {
    return ((static_cast<uint128>(engine()) << 64) | engine()) % p;
}

uint128 random_nonzero(std::mt19937_64& engine) { return 1 + random_below_p(engine) % (p - 1); }

std::vector<FieldElement> elements(const std::vector<uint128>& values) {
    std::vector<FieldElement> out;
    for (const uint128 v : values) out.push_back(FieldElement{v});
    return out;
}

struct SolverCase {
    std::vector<std::vector<uint128>> rows;
    std::vector<uint128> rhs;
    std::vector<uint128> solution;  // empty: the system is singular
};

// b = A x for a random A and x, so the expected solution is known without solving anything.
SolverCase random_system(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 engine(seed);
    SolverCase system{{}, std::vector<uint128>(n), std::vector<uint128>(n)};
    for (uint128& x : system.solution) x = random_below_p(engine);
    for (std::size_t i = 0; i < n; ++i) {
        system.rows.emplace_back(n);
        for (std::size_t j = 0; j < n; ++j) {
            system.rows[i][j] = random_below_p(engine);
            system.rhs[i] = ref_add(system.rhs[i], ref_mul(system.rows[i][j], system.solution[j]));
        }
    }
    return system;
}

std::vector<SolverCase> solver_cases() {
    const uint128 half = uint128{1} << 126;
    std::vector<SolverCase> cases = {
        {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {4, p - 1, 0}, {4, p - 1, 0}},
        {{{1, 1}, {1, 2}}, {3, 5}, {1, 2}},
        {{{0, 1}, {1, 0}}, {7, 9}, {9, 7}},
        {{{1, 1, 1}, {1, 1, 2}, {1, 2, 1}}, {6, 9, 8}, {1, 2, 3}},
        {{{2, 0}, {0, 2}}, {1, 1}, {half, half}},
        {{{1, p - 1}, {1, 1}}, {0, 2}, {1, 1}},
        {{{3, 5}, {3, 5}}, {1, 2}, {}},
        {{{1, 2}, {0, 0}}, {1, 2}, {}},
        {{{1, 2, 3}, {4, 5, 6}, {5, 7, 9}}, {1, 2, 3}, {}},
        // Only column 0 is left without a pivot at the end.
        {{{0, 1, 2}, {0, 3, 4}, {0, 5, 7}}, {1, 2, 3}, {}},
    };
    // Straddle the size at which the elimination switches from scaling rows to inverting pivots.
    for (const std::size_t n : {2, 3, 4, 6, 15, 16, 40}) cases.push_back(random_system(n, n));
    SolverCase dependent = random_system(20, 7);
    for (std::size_t j = 0; j < 20; ++j) {
        dependent.rows[13][j] = ref_add(dependent.rows[2][j], ref_mul(5, dependent.rows[17][j]));
    }
    dependent.solution.clear();
    cases.push_back(dependent);
    return cases;
}

TEST(LinearSolver, GaussJordanSolvesOrReportsDependence) {
    for (const SolverCase& test : solver_cases()) {
        std::vector<FieldElement> matrix;
        for (const auto& row : test.rows)
            for (const uint128 v : row) matrix.push_back(FieldElement{v});
        const auto solved = solve_linear_system(matrix, elements(test.rhs));
        SCOPED_TRACE(test.rows.size());
        if (test.solution.empty()) {
            ASSERT_FALSE(solved);
            EXPECT_EQ(solved.error().message, "System is linearly dependent");
        } else {
            ASSERT_TRUE(solved) << solved.error().message;
            EXPECT_EQ(*solved, elements(test.solution));
        }
    }
    EXPECT_TRUE(solve_linear_system({}, {})->empty());
}

TEST(LinearSolver, FirstCoordinateForFourRightHandSides) {
    // By linearity, right-hand side m * b has first coordinate m * x_0.
    const uint128 multipliers[chunk_count] = {1, 2, 0, p - 1};
    for (const SolverCase& test : solver_cases()) {
        const std::size_t n = test.rows.size();
        std::vector<LooseElement> rows;
        for (std::size_t i = 0; i < n; ++i) {
            for (const uint128 m : multipliers)
                rows.push_back(FieldElement{ref_mul(m, test.rhs[i])});
            for (const uint128 v : test.rows[i]) rows.push_back(FieldElement{v});
        }
        const auto first = solve_first_coordinate(rows, n);
        SCOPED_TRACE(n);
        if (test.solution.empty()) {
            ASSERT_FALSE(first);
            EXPECT_EQ(first.error().message, "System is linearly dependent");
            continue;
        }
        ASSERT_TRUE(first) << first.error().message;
        for (std::size_t j = 0; j < chunk_count; ++j) {
            EXPECT_EQ((*first)[j].value, ref_mul(multipliers[j], test.solution[0]));
        }
    }
    EXPECT_EQ(solve_first_coordinate({}, 0).error().message, "Degenerate system: empty solution");
}

uint128 chunk_of(const std::string& secret, std::size_t j) {
    uint128 chunk = 0;
    for (std::size_t b = 0; b < 8; ++b)
        chunk = (chunk << 8) | static_cast<unsigned char>(secret[8 * j + b]);
    return chunk;
}

TEST(BlakleySplit, SharesFromScriptedDrawsMatchReference) {
    const std::size_t k = 3, n = 4;
    std::mt19937_64 engine(11);
    std::vector<std::uint8_t> script;
    auto draw = [&](uint128 v) {
        const auto bytes = element_bytes(v);
        script.insert(script.end(), bytes.begin(), bytes.end());
        return v;
    };
    const std::string secret = counting_secret(1, 7);
    std::vector<std::vector<uint128>> points(chunk_count);
    for (std::size_t j = 0; j < chunk_count; ++j) {
        points[j].push_back(chunk_of(secret, j));
        // 0 and p are drawn again, never used.
        if (j == 1) draw(0);
        if (j == 2) draw(p);
        for (std::size_t t = 1; t < k; ++t) points[j].push_back(draw(random_nonzero(engine)));
    }
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<uint128> a, c(chunk_count);
        for (std::size_t t = 0; t < k; ++t) {
            if (i == 2 && t == 1) draw(0);
            a.push_back(draw(t == 0 ? p - 1 : random_nonzero(engine)));
            for (std::size_t j = 0; j < chunk_count; ++j)
                c[j] = ref_add(c[j], ref_mul(a[t], points[j][t]));
        }
        expected.push_back(share_text(a, c));
    }

    ScriptedSource source(script);
    VectorShareWriter out;
    ASSERT_TRUE(blakley_split(secret, k, n, source, out));
    EXPECT_EQ(out.texts, expected);
    EXPECT_EQ(source.consumed, script.size());
}

TEST(BlakleySplit, TextLayout) {
    for (const std::uint64_t k : {2, 3, 17}) {
        GeneratorSource source(k);
        VectorShareWriter out;
        ASSERT_TRUE(blakley_split(std::string(32, '\0'), k, k + 1, source, out));
        ASSERT_EQ(out.texts.size(), k + 1);
        for (const std::string& text : out.texts) {
            EXPECT_EQ(text.size(), 33 * k + 131);
            EXPECT_EQ(std::count(text.begin(), text.end(), ','), static_cast<long>(k - 1));
            EXPECT_EQ(std::count(text.begin(), text.end(), ':'), 4);
            EXPECT_EQ(text.find_first_not_of("0123456789abcdef,:"), std::string::npos) << text;
            for (std::size_t at = 0; at < text.size(); at += 33) {
                EXPECT_LE(text[at], '7');
                if (at < 33 * k) {
                    EXPECT_NE(text.substr(at, 32), std::string(32, '0'));
                }
            }
        }
    }
}

TEST(BlakleySplit, ValidationAndMemoryLimit) {
    ScriptedSource never({});
    VectorShareWriter out;
    const std::string secret(32, 's');
    const struct {
        std::string secret;
        std::uint64_t k, n;
        const char* message;
    } cases[] = {
        {std::string(31, 's'), 0, 0, "Secret must be 32 bytes"},
        {secret, 1, 5, "Invalid k/n"},
        {secret, 4, 3, "Invalid k/n"},
        {secret, 1048578, 1048577, "Invalid k/n"},
        {secret, 2, 1048577, "Invalid n: must be <= 1048576"},
    };
    for (const auto& test : cases) {
        const Result<void> result = blakley_split(test.secret, test.k, test.n, never, out);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message, test.message);
    }
    // Validation passes, but the output could never be held: nothing is drawn.
    EXPECT_THROW((void)blakley_split(secret, 1048576, 1048576, never, out), std::bad_alloc);
    EXPECT_EQ(never.requests, 0u);
}

TEST(BlakleyShareText, ParseRules) {
    const std::vector<uint128> a = {1, p - 2}, c = {3, 0, 5, p - 1};
    const std::string valid = share_text(a, c);
    std::string upper = valid;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    const std::string bad_hex = "Invalid coefficient: expected exactly 32 hex chars";
    const struct {
        std::string text;
        std::uint64_t k;
        const char* message;
    } cases[] = {
        {valid, 2, nullptr},
        {upper, 2, nullptr},
        {valid + ":", 2, "Share 4 has invalid format: expected 5 parts, got 6"},
        {":" + valid, 2, "Share 4 has invalid format: expected 5 parts, got 6"},
        {"", 2, "Share 4 has invalid format: expected 5 parts, got 1"},
        {valid.substr(0, 32) + valid.substr(65), 2,
         "Share 4 has invalid number of coefficients: expected 2, got 1"},
        {valid, 3, "Share 4 has invalid number of coefficients: expected 3, got 2"},
        {valid.substr(0, 33) + valid, 2,
         "Share 4 has invalid number of coefficients: expected 2, got 3"},
        // The empty item after a trailing comma fails before the count is looked at.
        {valid.substr(0, 33) + valid.substr(65), 1, bad_hex.c_str()},
        {" " + valid.substr(1) + "\n", 2, bad_hex.c_str()},
        {hex(p) + valid.substr(32), 2, "Invalid coefficient: value must be < 2^127-1"},
        {valid + "\n", 2, "Invalid share value: expected exactly 32 hex chars"},
        {valid.substr(0, 99) + "g" + valid.substr(100), 2,
         "Invalid share value: expected exactly 32 hex chars"},
        {valid.substr(0, 165) + hex(p), 2, "Invalid share value: value must be < 2^127-1"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.text);
        const Result<BlakleyShare> share = parse_blakley_share(test.text, 4, test.k);
        std::vector<FieldElement> row(test.k);
        std::array<FieldElement, chunk_count> constants{};
        const Result<void> into = parse_blakley_share_into(test.text, 4, test.k, row, constants);
        if (test.message == nullptr) {
            ASSERT_TRUE(share) << share.error().message;
            ASSERT_TRUE(into) << into.error().message;
            EXPECT_EQ(share->coefficients, elements(a));
            EXPECT_EQ(row, elements(a));
            EXPECT_EQ(std::vector<FieldElement>(constants.begin(), constants.end()), elements(c));
            EXPECT_EQ(share->constants, constants);
        } else {
            ASSERT_FALSE(share);
            ASSERT_FALSE(into);
            EXPECT_EQ(share.error().message, test.message);
            EXPECT_EQ(into.error().message, test.message);
        }
    }
}

TEST(BlakleyCombine, OrderOfChecksAndConstructedShares) {
    GeneratorSource source(5);
    VectorShareWriter k3;
    ASSERT_TRUE(blakley_split(std::string(32, 'q'), 3, 4, source, k3));
    const std::string zero_row = share_text({0, 0, 0}, {1, 2, 3, 4});
    const uint128 chunk[4] = {0x0102030405060708, 0, 0xffffffffffffffff, 42};
    std::vector<uint128> plus5, plus10;
    for (const uint128 v : chunk) {
        plus5.push_back(v + 5);
        plus10.push_back(v + 10);
    }
    const std::string expected_secret =
        "0102030405060708"
        "0000000000000000"
        "ffffffffffffffff"
        "000000000000002a";
    const struct {
        std::vector<std::string> shares;
        std::uint64_t k;
        std::string outcome;
    } cases[] = {
        {{}, 1, "Not enough shares: got 0, need 1"},
        {{"x", "y", "z"}, 5, "Not enough shares: got 3, need 5"},
        {{"x"}, 1, "Invalid k: threshold must be at least 2"},
        {{}, 0, "Invalid k: threshold must be at least 2"},
        {{"a:b", "c"}, 2, "Share 0 has invalid format: expected 5 parts, got 2"},
        {{k3.texts[0], k3.texts[1], ""}, 3, "Share 2 has invalid format: expected 5 parts, got 1"},
        {{k3.texts[0], k3.texts[1]},
         2,
         "Share 0 has invalid number of coefficients: expected 2, got 3"},
        {{k3.texts[0], k3.texts[1], k3.texts[0]}, 3, "System is linearly dependent"},
        {{k3.texts[0], zero_row, k3.texts[2]}, 3, "System is linearly dependent"},
        {{share_text({1, 1}, plus5), share_text({1, 2}, plus10)}, 2, expected_secret},
        {{share_text({1, 0}, {(uint128{1} << 64) + 5, 0, 0, 0}), share_text({0, 1}, {1, 2, 3, 4}),
          ""},
         2,
         "0000000000000005" + std::string(48, '0')},
    };
    for (const auto& test : cases) {
        const std::vector<std::string_view> views(test.shares.begin(), test.shares.end());
        const Result<SecretBytes> secret = blakley_combine(views, test.k);
        EXPECT_EQ(secret ? hex(*secret) : secret.error().message, test.outcome);
    }
}

TEST(BlakleyCombine, RoundTripsAnySubsetInAnyOrder) {
    std::mt19937_64 engine(99);
    for (const std::uint64_t k : {2, 3, 5, 15, 16, 40}) {
        std::string secret(32, '\0');
        for (char& byte : secret) byte = static_cast<char>(engine());
        GeneratorSource source(k);
        VectorShareWriter out;
        ASSERT_TRUE(blakley_split(secret, k, k + 3, source, out));
        for (int trial = 0; trial < 3; ++trial) {
            std::vector<std::string> shares = out.texts;
            std::shuffle(shares.begin(), shares.end(), engine);
            if (trial == 2) shares.resize(k);
            if (trial == 1) {
                for (std::size_t i = 0; i < k; ++i) {
                    std::transform(shares[i].begin(), shares[i].end(), shares[i].begin(),
                                   ::toupper);
                }
                shares.push_back("not a share");
            }
            const std::vector<std::string_view> views(shares.begin(), shares.end());
            const Result<SecretBytes> rebuilt = blakley_combine(views, k);
            ASSERT_TRUE(rebuilt) << rebuilt.error().message;
            EXPECT_EQ(std::string(rebuilt->bytes.begin(), rebuilt->bytes.end()), secret) << k;
        }
    }
}

TEST(BlakleyCombine, RepeatedTextsAndParseErrorsComeBeforeAnySystem) {
    GeneratorSource source(11);
    VectorShareWriter k3;
    ASSERT_TRUE(blakley_split(std::string(32, 'r'), 3, 3, source, k3));
    const std::string a = k3.texts[0], b = k3.texts[1], c = k3.texts[2];
    const std::string a_copy = a;  // equal text in another buffer
    std::string a_upper = a;
    std::transform(a_upper.begin(), a_upper.end(), a_upper.begin(), ::toupper);
    const std::string bad_constant = a.substr(0, a.size() - 1) + "g";
    const std::string a_short = a.substr(1);  // outlives the views of the table below
    const struct {
        const char* name;
        std::vector<std::string_view> shares;
        std::string outcome;
    } cases[] = {
        {"same buffer in a row", {a, a, b}, "System is linearly dependent"},
        {"same buffer apart", {a, b, a}, "System is linearly dependent"},
        {"equal text, other buffer", {a, b, a_copy}, "System is linearly dependent"},
        {"equal rows, other case", {a, a_upper, b}, "System is linearly dependent"},
        {"repeat beyond k is not read", {a, b, c, a}, "rebuilt"},
        {"parse error after a repeat",
         {a, a, "x:y"},
         "Share 2 has invalid format: expected 5 parts, got 2"},
        {"parse error before a repeat",
         {bad_constant, b, b},
         "Invalid share value: expected exactly 32 hex chars"},
        {"repeated faulty text names its first position",
         {a, "", ""},
         "Share 1 has invalid format: expected 5 parts, got 1"},
        {"short distinct text",
         {a, b, a_short},
         "Invalid coefficient: expected exactly 32 hex chars"},
    };
    for (const auto& test : cases) {
        const Result<SecretBytes> secret = blakley_combine(test.shares, 3);
        const std::string outcome =
            secret
                ? (std::string(secret->bytes.begin(), secret->bytes.end()) == std::string(32, 'r')
                       ? "rebuilt"
                       : "wrong secret")
                : secret.error().message;
        EXPECT_EQ(outcome, test.outcome) << test.name;
    }
}

TEST(BlakleyCombine, HugeThresholdWithRepeatedOrShortSharesNeedsNoSystem) {
    // A system for this k would not fit in this machine's memory; none of these inputs may
    // ask for it, however large k is.
    const std::uint64_t memory = physical_memory_bytes();
    std::uint64_t k = 2;
    while (saturating_mul(saturating_mul(k, k + 4), sizeof(FieldElement)) <= memory) k *= 2;
    if (k > 4'000'000) GTEST_SKIP() << "too much memory to build the share";
    const std::vector<uint128> coefficients(k, 1);
    const std::string big = share_text(coefficients, {1, 2, 3, 4});
    const std::string other = share_text(std::vector<uint128>(k, 2), {1, 2, 3, 4});
    std::vector<std::string_view> shares(k, big);
    Result<SecretBytes> result = blakley_combine(shares, k);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, "System is linearly dependent");

    shares[k / 2] = other;
    result = blakley_combine(shares, k);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, "System is linearly dependent");

    // One valid share and then short texts: the first short one is reported.
    std::vector<std::string> tiny(k);
    for (std::size_t i = 0; i < k; ++i) tiny[i] = std::to_string(i);
    std::vector<std::string_view> mostly_tiny(tiny.begin(), tiny.end());
    mostly_tiny[0] = big;
    result = blakley_combine(mostly_tiny, k);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, "Share 1 has invalid format: expected 5 parts, got 1");

    // An invalid share 0 is reported first.
    shares[0] = std::string_view(big).substr(1);
    result = blakley_combine(shares, k);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, "Invalid coefficient: expected exactly 32 hex chars");
}

}  // namespace
}  // namespace varnhold
