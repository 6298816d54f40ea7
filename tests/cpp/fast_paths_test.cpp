// The shortcuts taken for speed, each held against a slow path that shares nothing with it: the two
// hex engines, the variable-time inverse, lazy and loose multiply-adds at their bounds, the
// word-sized Lagrange weights and denominators, decimal writing across the word boundary, the
// counted share indices and the word-wise wipe.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "blakley/blakley_share.hpp"
#include "common/decimal.hpp"
#include "common/small_vector.hpp"
#include "common/wipe.hpp"
#include "field/field.hpp"
#include "field/field_hex.hpp"
#include "field/row_update.hpp"
#include "safe/share_tag.hpp"
#include "shamir/lagrange.hpp"
#include "shamir/shamir.hpp"
#include "shamir/shamir_share.hpp"
#include "test_support.hpp"

namespace varnhold {
namespace {

constexpr uint128 p = field_modulus;
constexpr uint128 one = 1;

using testing::hex;
using testing::ref_mul;

// The reference codec: one character at a time with branches for reading; hex() writes with
// printf.

struct RefParse {
    bool ok;
    std::string message;
    uint128 value;
};

RefParse ref_parse(const std::string& text) {
    const std::string bad_hex = "Invalid share value: expected exactly 32 hex chars";
    if (text.size() != 32) return {false, bad_hex, 0};
    uint128 value = 0;
    for (const char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (digit < 0) return {false, bad_hex, 0};
        value = (value << 4) | static_cast<uint128>(digit);
    }
    if (value >= p) return {false, "Invalid share value: value must be < 2^127-1", 0};
    return {true, "", value};
}

using Parser = Result<FieldElement> (*)(std::string_view, std::string_view);
using Writer = void (*)(FieldElement, char*) noexcept;

const Parser parsers[] = {parse_field_hex, parse_field_hex_words};
const Writer writers[] = {write_field_hex, write_field_hex_words};

void expect_parse_matches(const std::string& text) {
    const RefParse expected = ref_parse(text);
    // The batch reader alone, and as the third of four values beside valid ones.
    const std::string_view single[] = {text};
    FieldElement value{};
    ASSERT_EQ(read_field_hex_values(single, 1, &value), expected.ok) << text;
    if (expected.ok) {
        ASSERT_EQ(value.value, expected.value) << text;
    }
    const std::string good = "0123456789abcdef0123456789abcdef";
    const std::string_view four[] = {good, good, text, good};
    FieldElement values[4] = {};
    ASSERT_EQ(read_field_hex_values(four, 4, values), expected.ok) << text;
    for (const Parser parse : parsers) {
        const Result<FieldElement> got = parse(text, "share value");
        ASSERT_EQ(got.ok(), expected.ok) << text;
        if (expected.ok) {
            ASSERT_EQ(got->value, expected.value) << text;
        } else {
            ASSERT_EQ(got.error().message, expected.message) << text;
        }
    }
}

TEST(HexEngines, EveryByteAtEveryPositionMatchesTheReference) {
    // Each byte value in each position of a valid text: every digit of both cases, the bytes
    // next to the digit ranges, non-ASCII bytes, and a zero byte.
    const std::string bases[] = {"0123456789abcdef0123456789ABCDEF",
                                 "7ffffffffffffffffffffffffffffffe",
                                 "00000000000000000000000000000000"};
    for (const std::string& base : bases) {
        for (std::size_t position = 0; position < 32; ++position) {
            for (int byte = 0; byte < 256; ++byte) {
                std::string text = base;
                text[position] = static_cast<char>(byte);
                expect_parse_matches(text);
            }
        }
    }
}

TEST(HexEngines, BoundaryValuesAndLengths) {
    const std::string cases[] = {
        "7fffffffffffffffffffffffffffffff",  // p
        "7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFE",  // p - 1
        "80000000000000000000000000000000",  // 2^127
        "ffffffffffffffffffffffffffffffff",  // 2^128 - 1, where value + 1 wraps
        "fffffffffffffffffffffffffffffffg",  // too large and not hex: not-hex wins
        "0000000000000000ffffffffffffffff",  // a full low word
        "00000000000000010000000000000000",  // 2^64
        "",
        "0",
        "0000000000000000000000000000000",    // 31 digits
        "000000000000000000000000000000000",  // 33 digits
        "0x000000000000000000000000000001",
        "+0000000000000000000000000000001",
        std::string(16, '\xc3') + std::string(16, '0'),
    };
    for (const std::string& text : cases) expect_parse_matches(text);
}

TEST(HexEngines, WriteEveryNibbleInEveryPosition) {
    std::vector<uint128> values = {0, 1, p - 1, (one << 64) - 1, one << 64, one << 126};
    for (int digit = 0; digit < 32; ++digit) {
        for (uint128 nibble = 0; nibble < 16; ++nibble) {
            values.push_back((nibble << (4 * digit)) % p);
        }
    }
    std::mt19937_64 rng(7);
    for (int i = 0; i < 200; ++i) {
        values.push_back(((static_cast<uint128>(rng()) << 64) | rng()) % p);
    }
    for (const uint128 v : values) {
        for (const Writer write : writers) {
            char text[33] = {};
            write(FieldElement{v}, text);
            ASSERT_EQ(std::string(text, 32), hex(v));
        }
        ASSERT_EQ(parse_field_hex(hex(v), "x")->value, v);
    }
}

TEST(PublicInverse, AgreesWithTheFixedChainOnEveryPath) {
    // Word operands, operands within a word of p (negated first), the borders between them, and
    // general ones; arguments of p and above are reduced first.
    std::vector<uint128> operands = {1,
                                     2,
                                     3,
                                     12,
                                     (one << 63) + 1,
                                     (one << 64) - 1,
                                     one << 64,
                                     (one << 64) + 1,
                                     p - 1,
                                     p - 2,
                                     p - ((one << 64) - 1),
                                     p - (one << 64),
                                     p + 5,
                                     one << 126,
                                     (one << 127) + 7,
                                     ~uint128{0}};
    std::mt19937_64 rng(99);
    for (int i = 0; i < 300; ++i) {
        operands.push_back(((static_cast<uint128>(rng()) << 64) | rng()) % p);
        operands.push_back(rng() % 100000 + 1);
    }
    for (const uint128 a : operands) {
        const FieldElement fast = field_inv_public(field_reduce(a));
        const FieldElement fixed = field_inv(field_reduce(a));
        ASSERT_NE(fast.value, 0);
        ASSERT_NE(fixed.value, 0);
        ASSERT_EQ(fast.value, fixed.value);
        ASSERT_EQ(ref_mul(fast.value, a), 1);
    }
    for (const uint128 zero : {uint128{0}, p, 2 * p}) {
        EXPECT_EQ(field_inv_public(field_reduce(zero)).value, 0);
    }
}

TEST(LazyMultiplyAdd, ExtremeOperandsKeepTheirResidueAndBound) {
    // The operands a lazy chain can hand on: p and 2^127 stand for 0 and 1.
    const uint128 extremes[] = {0, 1, p - 1, p, one << 127, (one << 127) - 2, (one << 64) - 1};
    for (const uint128 a : extremes) {
        for (const uint128 b : extremes) {
            for (const uint128 c : extremes) {
                const uint128 lazy = field_mul_add_lazy(a, b, c);
                ASSERT_LE(lazy, one << 127);
                ASSERT_EQ(field_canonical(lazy).value, (ref_mul(a, b) + c % p) % p);
            }
        }
    }
    // A long chain of the largest operands stays within the bound at every step.
    uint128 sum = one << 127;
    uint128 expected = 1;
    for (int i = 0; i < 1000; ++i) {
        sum = field_mul_add_lazy(one << 127, p - 1, sum);
        expected = (expected + p - 1) % p;
        ASSERT_LE(sum, one << 127);
    }
    EXPECT_EQ(field_canonical(sum).value, expected);
}

TEST(LooseRowUpdate, BothFormsKeepTheResidueBelowTheBound) {
    // Loose entries an elimination can hand on, up to just below the bound, and canonical factors.
    const uint128 entries[] = {0,
                               1,
                               p - 1,
                               p,
                               one << 127,
                               (one << 64) - 1,
                               (one << 126) + 5,
                               row_entry_bound - 1,
                               row_entry_bound - (one << 64)};
    const uint128 factors[] = {0, 1, 2, p - 1, (one << 64) - 1, one << 64, (one << 126) + 3};
    for (const uint128 f : factors) {
        const RowFactor factor = make_row_factor(FieldElement{f});
        for (const uint128 x : entries) {
            for (const uint128 t : entries) {
                const uint128 expected = (ref_mul(f, x) + t % p) % p;
                const uint128 fast = row_mul_add(factor, x, t);
                const uint128 portable = row_mul_add_portable(factor, x, t);
                ASSERT_LT(fast, row_entry_bound);
                ASSERT_LT(portable, row_entry_bound);
                ASSERT_EQ(canonical_from_loose(fast).value, expected);
                ASSERT_EQ(canonical_from_loose(portable).value, expected);
            }
        }
    }
    // A long chain of the largest operands: each result is the next target, the old target the
    // next source, as entries are handed on from one elimination step to the next.
    const RowFactor largest = make_row_factor(FieldElement{p - 1});
    uint128 source = row_entry_bound - 1;
    uint128 target = row_entry_bound - 1;
    uint128 expected_source = source % p;
    uint128 expected_target = target % p;
    for (int i = 0; i < 1000; ++i) {
        const uint128 next = row_mul_add(largest, source, target);
        ASSERT_EQ(row_mul_add_portable(largest, source, target), next);
        ASSERT_LT(next, row_entry_bound);
        const uint128 expected_next = (ref_mul(p - 1, expected_source) + expected_target) % p;
        ASSERT_EQ(canonical_from_loose(next).value, expected_next);
        source = target;
        expected_source = expected_target;
        target = next;
        expected_target = expected_next;
    }
}

TEST(WordMultiplyAdd, MatchesTheReferenceAtTheBounds) {
    const uint128 elements[] = {0, 1, p - 1, p - 2, (one << 126) + 3, (one << 64) - 1, one << 64};
    const std::uint64_t words[] = {0, 1, 2, 0xffffffffffffffffULL, 0x8000000000000001ULL};
    for (const uint128 a : elements) {
        for (const std::uint64_t b : words) {
            for (const uint128 c : elements) {
                ASSERT_EQ(field_mul_word_add(FieldElement{a}, b, FieldElement{c}).value,
                          (ref_mul(a, b) + c) % p);
            }
        }
    }
}

TEST(ShamirSplitText, IndicesCountedAcrossEveryNewDigit) {
    // Shares 1 .. 1001 of a degree-2 split, each against a text built from the index's own
    // decimal form and polynomial values evaluated in full.
    const std::uint64_t n = 1001;
    const uint128 coefficients[chunk_count][2] = {
        {p - 1, 5}, {(one << 126) + 7, p - 2}, {0, 1}, {(one << 64) - 1, (one << 100) + 9}};
    std::vector<std::uint8_t> script;
    for (const auto& chunk : coefficients) {
        for (const uint128 c : chunk) {
            const std::vector<std::uint8_t> bytes = testing::element_bytes(c);
            script.insert(script.end(), bytes.begin(), bytes.end());
        }
    }
    testing::ScriptedSource source(script);
    VectorShareWriter out;
    std::string secret(32, '\0');
    for (std::size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<char>(0xf0 ^ i);
    ASSERT_TRUE(shamir_split(secret, 3, n, source, out).ok());
    ASSERT_EQ(out.texts.size(), n);
    const SecretChunks chunks = secret_to_chunks(secret);
    for (std::uint64_t x = 1; x <= n; ++x) {
        std::array<FieldElement, chunk_count> values{};
        for (std::size_t c = 0; c < chunk_count; ++c) {
            const uint128 square = ref_mul(x, x);
            const uint128 linear = (chunks.chunks[c].value + ref_mul(coefficients[c][0], x)) % p;
            values[c] = FieldElement{(linear + ref_mul(coefficients[c][1], square)) % p};
        }
        char expected[shamir_share_buffer_length];
        const std::size_t length =
            std::snprintf(expected, sizeof expected, "%llu", static_cast<unsigned long long>(x));
        std::string text(expected, length);
        for (const FieldElement v : values) text += ":" + hex(v.value);
        ASSERT_EQ(out.texts[x - 1], text);
    }
}

TEST(ShamirSplitText, DifferencesAgreeWithPowersOnBothSidesOfTheirBounds) {
    // Past the k-th share, splits of several more shares than k continue by differences; every
    // share is held against the powers of its index summed in full. Rows on both sides of the
    // bounds on n - k and on k.
    const struct {
        std::uint64_t k, n;
    } rows[] = {{2, 9}, {2, 10}, {3, 10}, {3, 11}, {8, 40}, {64, 71}, {64, 72}, {65, 90}};
    std::mt19937_64 engine(20261208);
    for (const auto& row : rows) {
        const std::size_t degree = static_cast<std::size_t>(row.k - 1);
        std::vector<uint128> coefficients(chunk_count * degree);
        std::vector<std::uint8_t> script;
        for (std::size_t i = 0; i < coefficients.size(); ++i) {
            // The extremes first, then values of every size.
            const uint128 drawn = (static_cast<uint128>(engine()) << 64 | engine()) % p;
            coefficients[i] = i == 0 ? p - 1 : i == 1 ? 0 : drawn >> (engine() % 127);
            const std::vector<std::uint8_t> bytes = testing::element_bytes(coefficients[i]);
            script.insert(script.end(), bytes.begin(), bytes.end());
        }
        testing::ScriptedSource source(script);
        VectorShareWriter out;
        const std::string secret = testing::counting_secret(static_cast<unsigned>(row.k), 37);
        ASSERT_TRUE(shamir_split(secret, row.k, row.n, source, out).ok());
        ASSERT_EQ(out.texts.size(), row.n);
        const SecretChunks chunks = secret_to_chunks(secret);
        for (std::uint64_t x = 1; x <= row.n; ++x) {
            std::string text = std::to_string(x);
            for (std::size_t c = 0; c < chunk_count; ++c) {
                uint128 y = chunks.chunks[c].value;
                uint128 power = 1;
                for (std::size_t j = 0; j < degree; ++j) {
                    power = ref_mul(power, x);
                    y = testing::ref_add(y, ref_mul(coefficients[c * degree + j], power));
                }
                text += ":" + hex(y);
            }
            ASSERT_EQ(out.texts[x - 1], text) << "k = " << row.k << ", n = " << row.n;
        }
    }
}

TEST(WordMultiply, MatchesFullMultiplication) {
    const uint128 elements[] = {0, 1, p - 1, (one << 126) + 3, (one << 64) - 1};
    const std::uint64_t words[] = {0, 1, 2, 0xffffffffffffffffULL, 0x8000000000000001ULL};
    for (const uint128 a : elements) {
        for (const std::uint64_t b : words) {
            ASSERT_EQ(field_mul_word(FieldElement{a}, b).value, ref_mul(a, b));
        }
    }
}

// Shares of the chunks 1, 2, 3, 4 on a polynomial with fixed coefficients, at chosen indices.
std::vector<std::string> shares_at(const std::vector<uint128>& indices, std::size_t k) {
    std::vector<std::string> texts;
    for (const uint128 x : indices) {
        std::array<FieldElement, chunk_count> values{};
        for (std::size_t c = 0; c < chunk_count; ++c) {
            uint128 y = 0;
            uint128 power = 1;
            for (std::size_t j = 0; j < k; ++j) {
                const uint128 coefficient =
                    j == 0 ? c + 1 : (0x9e3779b97f4a7c15ULL * (j + 7 * c)) % p;
                y = (y + ref_mul(coefficient, power)) % p;
                power = ref_mul(power, x);
            }
            values[c] = FieldElement{y};
        }
        texts.push_back(format_shamir_share(x, values));
    }
    return texts;
}

TEST(ShamirWeights, WordAndGeneralDenominatorsRebuildTheSameSecret) {
    struct Case {
        const char* name;
        std::vector<uint128> indices;
    };
    std::vector<uint128> many_small;
    for (uint128 x = 60; x > 0; x -= 3) many_small.push_back(x);  // descending: every sign
    many_small.push_back(0);
    // Indices filling a range but for `gaps` of its values, shuffled.
    const auto range_with_gaps = [](uint128 lo, std::size_t k, std::vector<uint128> gaps) {
        std::vector<uint128> xs;
        for (uint128 x = lo; xs.size() < k; ++x)
            if (std::find(gaps.begin(), gaps.end(), x) == gaps.end()) xs.push_back(x);
        for (std::size_t i = 0; i + 1 < xs.size(); i += 3) std::swap(xs[i], xs[xs.size() - 1 - i]);
        return xs;
    };
    const Case cases[] = {
        {"small, in order", {1, 2, 3}},
        {"small, shuffled, with zero", {5, 0, 2, 9, 7}},
        {"seven in order: the last whose magnitudes multiply within a word", {7, 6, 5, 4, 3, 2, 1}},
        {"eight in order: their magnitudes outgrow a word", {1, 2, 3, 4, 5, 6, 7, 8}},
        {"close indices near 2^31: a weight takes two word multiplications",
         {(1ULL << 31) + 3, 1ULL << 31, (1ULL << 31) + 1}},
        {"close indices near 2^40: a numerator outgrows a word",
         {1ULL << 40, (1ULL << 40) + 1, (1ULL << 40) + 2}},
        {"runs of many small factors", many_small},
        {"every difference near a word: a flush per factor",
         {1, 0xffffffffffffffffULL, 1ULL << 63, 2}},
        {"largest word index beside the smallest",
         {0xfffffffffffffffeULL, 0, 0xffffffffffffffffULL}},
        {"a whole range from 1: factorials", range_with_gaps(1, 20, {})},
        {"a whole range from 0", range_with_gaps(0, 12, {})},
        {"a range missing a quarter of k: factorials",
         range_with_gaps(1000, 16, {1001, 1005, 1006, 1014})},
        {"a range missing more: the word products",
         range_with_gaps(1000, 16, {1001, 1005, 1006, 1014, 1015})},
        {"a range near the top of a word",
         range_with_gaps(~std::uint64_t{0} - 11, 11, {~std::uint64_t{0} - 3})},
        {"one index past a word takes the general path", {1, one << 64, 3, 4}},
        {"indices near p", {p - 1, p - 2, 5, one << 100}},
    };
    std::array<std::uint8_t, 32> expected{};
    for (std::size_t c = 0; c < chunk_count; ++c) {
        expected[8 * c + 7] = static_cast<std::uint8_t>(c + 1);
    }
    for (const Case& row : cases) {
        const std::size_t k = row.indices.size();
        const std::vector<std::string> texts = shares_at(row.indices, k);
        const std::vector<std::string_view> views(texts.begin(), texts.end());
        const Result<SecretBytes> secret = shamir_combine(views, k);
        ASSERT_TRUE(secret.ok()) << row.name << ": " << secret.error().message;
        EXPECT_EQ(secret->bytes, expected) << row.name;
    }
}

TEST(DecimalWriting, AcrossTheWordBoundary) {
    const uint128 ten19 = 10000000000000000000ULL;
    const uint128 values[] = {0,
                              9,
                              10,
                              65536,
                              1048576,
                              (one << 64) - 1,
                              one << 64,
                              ten19 - 1,
                              ten19,
                              ten19 * ten19 - 1,
                              ten19 * ten19,
                              ten19 * ten19 + 1,
                              ten19 * 10 + 7,
                              p,
                              ~uint128{0}};
    for (const uint128 v : values) {
        std::string reference;
        uint128 rest = v;
        do {
            const auto digit = static_cast<char>('0' + static_cast<int>(rest % 10));
            reference.insert(reference.begin(), digit);
            rest /= 10;
        } while (rest != 0);
        EXPECT_EQ(to_decimal(v), reference);
    }
}

TEST(Wipe, ClearsExactlyTheRangeAtEveryAlignment) {
    for (std::size_t offset = 0; offset < 9; ++offset) {
        for (const std::size_t size : {0, 1, 7, 8, 9, 15, 16, 17, 33}) {
            unsigned char buffer[64];
            std::memset(buffer, 0xa5, sizeof buffer);
            secure_wipe(buffer + offset, size);
            for (std::size_t i = 0; i < sizeof buffer; ++i) {
                const bool inside = i >= offset && i < offset + size;
                ASSERT_EQ(buffer[i], inside ? 0 : 0xa5) << offset << " " << size << " " << i;
            }
        }
    }
}

TEST(BlakleyShareSeparators, PartCountsFromOnePass) {
    const std::string item(32, '1');
    const std::string share = item + "," + item + ":" + item + ":" + item + ":" + item + ":" + item;
    struct Case {
        std::string text;
        const char* message;
    };
    const Case cases[] = {
        {share, nullptr},
        {share + ":::::", "Share 0 has invalid format: expected 5 parts, got 10"},
        {std::string(40, ':'), "Share 0 has invalid format: expected 5 parts, got 41"},
        {"::::", "Invalid coefficient: expected exactly 32 hex chars"},
        {item + ",," + item + ":" + item + ":" + item + ":" + item + ":" + item,
         "Invalid coefficient: expected exactly 32 hex chars"},
        {item + ":" + item + ":" + item + ":" + item + ":" + item,
         "Share 0 has invalid number of coefficients: expected 2, got 1"},
        {share.substr(0, share.size() - 1), "Invalid share value: expected exactly 32 hex chars"},
    };
    for (const Case& row : cases) {
        const Result<BlakleyShare> parsed = parse_blakley_share(row.text, 0, 2);
        if (row.message == nullptr) {
            ASSERT_TRUE(parsed.ok()) << parsed.error().message;
            EXPECT_EQ(parsed->coefficients.size(), 2u);
            EXPECT_EQ(parsed->constants[3].value, ref_parse(item).value);
        } else {
            ASSERT_FALSE(parsed.ok()) << row.text;
            EXPECT_EQ(parsed.error().message, row.message) << row.text;
        }
    }
}

TEST(ShareHeads, ColonSearchAgreesWithSplittingTheText) {
    // Texts of every length up to 70 (the search takes 16 bytes at a time, then single bytes)
    // with 0 to 7 colons at random places.
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 20000; ++trial) {
        const std::size_t length = rng() % 71;
        std::string text(length, '7');
        const std::size_t colons = length == 0 ? 0 : rng() % 8;
        for (std::size_t c = 0; c < colons; ++c) text[rng() % length] = ':';
        std::vector<std::string> fields(1);
        for (const char ch : text) {
            if (ch == ':') {
                fields.emplace_back();
            } else {
                fields.back() += ch;
            }
        }
        const Result<ShamirShareHead> head = parse_shamir_share_head(text);
        if (fields.size() != 5) {
            ASSERT_FALSE(head.ok()) << text;
            ASSERT_EQ(head.error().message, "Invalid format") << text;
        } else if (head.ok()) {
            for (std::size_t c = 0; c < 4; ++c) ASSERT_EQ(head->value_fields[c], fields[1 + c]);
        } else {
            ASSERT_NE(head.error().message, "Invalid format") << text;  // the index is empty
        }
    }
}

TEST(SmallVector, KeepsOrderAcrossTheMoveToTheHeap) {
    for (const std::size_t reserved : {0, 3, 4, 5, 40}) {
        SmallVector<std::string, 4> items;
        items.reserve(reserved);
        for (int i = 0; i < 21; ++i) {
            items.push_back(std::to_string(i));
            ASSERT_EQ(items.size(), static_cast<std::size_t>(i + 1));
            ASSERT_EQ(items.back(), std::to_string(i));
            for (int j = 0; j <= i; ++j) ASSERT_EQ(items[j], std::to_string(j)) << reserved;
        }
        SmallVector<std::string, 4> moved = std::move(items);
        ASSERT_EQ(moved.size(), 21u);
        ASSERT_EQ(*(moved.end() - 1), "20");
    }
}

// Weights over the index are the weights at zero divided by the index, on each way weights are
// made: a few small indices, indices that fit in a word (more than eight of them too, filling a
// range or spread), and wide ones. An index of 0 has no such weight.
TEST(LagrangeWeights, OverTheIndexAreTheWeightsDividedByIt) {
    const uint128 wide = uint128{1} << 100;
    const std::vector<std::vector<uint128>> index_sets = {
        {1, 2, 3},
        {5, uint128{1} << 40, (uint128{1} << 63) + 7, 9},
        {1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
        {1, 3, 5, 7, 9, 11, 13, 15, 17, 19},
        {wide + 1, 3, (uint128{1} << 126) + 5},
    };
    for (const auto& xs : index_sets) {
        std::vector<FieldElement> plain(3 * xs.size()), over(3 * xs.size());
        ASSERT_TRUE(lagrange_weights_at_zero(xs, plain.data()));
        ASSERT_TRUE(lagrange_weights_over_index(xs, over.data()));
        for (std::size_t i = 0; i < xs.size(); ++i)
            EXPECT_EQ(field_mul(over[i], FieldElement{xs[i]}), plain[i]) << "index " << i;
    }
    std::vector<FieldElement> work(9);
    EXPECT_FALSE(lagrange_weights_over_index(std::vector<uint128>{0, 1, 2}, work.data()));
}

// Nodes hashed four at a time are the nodes hashed one by one, for every count up to nine.
TEST(BlakleyNodes, TogetherAreTheNodesOneByOne) {
    const std::vector<std::uint64_t> numbers = {1, 2, 3, 1000, 1ULL << 32, 1ULL << 63, ~0ULL, 7, 8};
    for (std::size_t count = 1; count <= numbers.size(); ++count) {
        std::vector<FieldElement> nodes(count);
        blakley_nodes(0x0123456789abcdefULL, std::span(numbers).first(count), nodes);
        for (std::size_t i = 0; i < count; ++i)
            EXPECT_EQ(nodes[i], blakley_node(0x0123456789abcdefULL, numbers[i]))
                << count << " " << i;
    }
}

}  // namespace
}  // namespace varnhold
