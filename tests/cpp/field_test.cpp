#include <gtest/gtest.h>

#include <random>
#include <string>

#include "field/field.hpp"
#include "field/field_hex.hpp"
#include "random/random_field.hpp"
#include "test_support.hpp"

namespace varnhold {
namespace {

constexpr uint128 p = field_modulus;
constexpr uint128 one = 1;

using testing::ref_add;
using testing::ref_mul;

// Values that stress carries and folds, plus random ones.
std::vector<uint128> sample_elements() {
    std::vector<uint128> values = {0,
                                   1,
                                   2,
                                   p - 1,
                                   p - 2,
                                   one << 64,
                                   (one << 64) - 1,
                                   one << 126,
                                   (one << 126) + 1,
                                   (one << 126) - 1,
                                   (one << 63) * 3};
    std::mt19937_64 rng(12345);
    for (int i = 0; i < 60; ++i) {
        const uint128 v = (static_cast<uint128>(rng()) << 64) | rng();
        values.push_back(v % p);
    }
    return values;
}

TEST(FieldArithmetic, MatchesReferenceOnSampledPairs) {
    const std::vector<uint128> values = sample_elements();
    for (const uint128 a : values) {
        for (const uint128 b : values) {
            const FieldElement fa{a};
            const FieldElement fb{b};
            ASSERT_EQ(field_add(fa, fb).value, ref_add(a, b));
            ASSERT_EQ(field_sub(fa, fb).value, (a + p - b) % p);
            ASSERT_EQ(field_mul(fa, fb).value, ref_mul(a, b));
            ASSERT_EQ(field_square(fa).value, ref_mul(a, a));
            ASSERT_EQ(field_mul_add(fa, fb, FieldElement{b}).value, ref_add(ref_mul(a, b), b));
        }
    }
}

TEST(FieldArithmetic, ReduceMatchesRemainderForAny128BitValue) {
    std::mt19937_64 rng(99);
    std::vector<uint128> values = {0,     p - 1,     p,           p + 1,           2 * p - 1,
                                   2 * p, 2 * p + 1, ~uint128{0}, ~uint128{0} - 1, one << 127};
    for (int i = 0; i < 1000; ++i) values.push_back((static_cast<uint128>(rng()) << 64) | rng());
    for (const uint128 v : values) ASSERT_EQ(field_reduce(v).value, v % p);
}

struct EdgeCase {
    const char* name;
    FieldElement actual;
    uint128 expected;
};

TEST(FieldArithmetic, EdgeValues) {
    const EdgeCase cases[] = {
        {"(p-1)+1", field_add(FieldElement{p - 1}, FieldElement{1}), 0},
        {"0-1", field_sub(FieldElement{0}, FieldElement{1}), p - 1},
        {"5-5", field_sub(FieldElement{5}, FieldElement{5}), 0},
        {"(p-1)^2", field_mul(FieldElement{p - 1}, FieldElement{p - 1}), 1},
        {"2^126*2", field_mul(FieldElement{one << 126}, FieldElement{2}), 1},
        {"0*(p-1)", field_mul(FieldElement{0}, FieldElement{p - 1}), 0},
        {"reduce(2^128-1)", field_reduce(~uint128{0}), 1},
        {"reduce(p)", field_reduce(p), 0},
        {"reduce(p+1)", field_reduce(p + 1), 1},
    };
    for (const EdgeCase& c : cases) EXPECT_EQ(c.actual.value, c.expected) << c.name;
}

TEST(FieldInverse, KnownValuesAndZero) {
    const std::pair<uint128, uint128> known[] = {
        {1, 1}, {2, one << 126}, {p - 1, p - 1}, {p + 1, 1}, {p + 2, one << 126}};
    for (const auto& [argument, inverse] : known) {
        EXPECT_EQ(field_inv(field_reduce(argument)).value, inverse);
    }
    // Zero has no inverse and comes out as 0, whichever multiple of p it was reduced from.
    for (const uint128 zero : {uint128{0}, p, 2 * p}) {
        EXPECT_EQ(field_inv(field_reduce(zero)).value, 0u);
    }
}

TEST(FieldInverse, TimesOperandIsOne) {
    for (const uint128 a : sample_elements()) {
        if (a == 0) continue;
        const FieldElement inverse = field_inv(FieldElement{a});
        EXPECT_EQ(ref_mul(a, inverse.value), 1u);
    }
}

TEST(FieldHex, FormatsLowercaseZeroPadded) {
    EXPECT_EQ(format_field_hex(FieldElement{0}), std::string(32, '0'));
    EXPECT_EQ(format_field_hex(FieldElement{255}), std::string(30, '0') + "ff");
    EXPECT_EQ(format_field_hex(FieldElement{p - 1}), "7ffffffffffffffffffffffffffffffe");
    EXPECT_EQ(format_field_hex(FieldElement{(one << 64) | 0xabcdef}),
              "00000000000000010000000000abcdef");
}

struct HexCase {
    std::string text;
    const char* outcome;  // the expected value in hex, or the expected message with label "L"
};

TEST(FieldHex, ParseRules) {
    const std::string too_long = "Invalid L: expected exactly 32 hex chars";
    const std::string too_big = "Invalid L: value must be < 2^127-1";
    const HexCase cases[] = {
        {"7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFE", "7ffffffffffffffffffffffffffffffe"},
        {"7ffffffffffffffffffffffffffffffe", "7ffffffffffffffffffffffffffffffe"},
        {"000000000000000000000000000000aB", "000000000000000000000000000000ab"},
        {"7fffffffffffffffffffffffffffffff", too_big.c_str()},
        {"80000000000000000000000000000000", too_big.c_str()},
        {"ffffffffffffffffffffffffffffffff", too_big.c_str()},
        {std::string(31, '0'), too_long.c_str()},
        {std::string(33, '0'), too_long.c_str()},
        {"", too_long.c_str()},
        {"0x" + std::string(30, '0'), too_long.c_str()},
        {"+" + std::string(31, '0'), too_long.c_str()},
        {std::string(31, '0') + "g", too_long.c_str()},
        {std::string(15, '0') + " " + std::string(16, '0'), too_long.c_str()},
        {std::string(31, '0') + '\0', too_long.c_str()},
        // Sixteen two-byte characters are 32 bytes; 31 digits and one such character are 33.
        {[] {
             std::string s;
             for (int i = 0; i < 16; ++i) s += "\xc3\xa9";
             return s;
         }(),
         too_long.c_str()},
        {std::string(31, '0') + "\xc3\xa9", too_long.c_str()},
    };
    for (const HexCase& c : cases) {
        const Result<FieldElement> parsed = parse_field_hex(c.text, "L");
        const std::string outcome = c.outcome;
        if (outcome.rfind("Invalid", 0) == 0) {
            ASSERT_FALSE(parsed.ok()) << c.text;
            EXPECT_EQ(parsed.error().message, outcome) << c.text;
        } else {
            ASSERT_TRUE(parsed.ok()) << c.text;
            EXPECT_EQ(format_field_hex(*parsed), outcome);
        }
    }
}

TEST(FieldHex, RoundTripsEveryElementSampled) {
    for (const uint128 v : sample_elements()) {
        const Result<FieldElement> parsed = parse_field_hex(format_field_hex(FieldElement{v}), "x");
        ASSERT_TRUE(parsed.ok());
        EXPECT_EQ(parsed->value, v);
    }
}

using testing::ScriptedSource;

std::vector<std::uint8_t> repeat(std::uint8_t byte, std::size_t count) {
    return std::vector<std::uint8_t>(count, byte);
}
std::vector<std::uint8_t> concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct DrawCase {
    const char* name;
    std::vector<std::uint8_t> script;
    uint128 any_element;      // random_field_element
    uint128 nonzero_element;  // random_nonzero_field_element
    std::size_t nonzero_bytes_used;
};

TEST(RandomFieldElement, ScriptedDraws) {
    const std::vector<std::uint8_t> one_then_zero = concat({1, 0, 0, 0, 0, 0, 0, 0}, repeat(0, 8));
    const std::vector<std::uint8_t> zero_then_one = concat(repeat(0, 8), {1, 0, 0, 0, 0, 0, 0, 0});
    const DrawCase cases[] = {
        {"low word first", one_then_zero, 1, 1, 16},
        {"high word second", zero_then_one, one << 64, one << 64, 16},
        {"p folds to zero, or is drawn again", concat(repeat(0xff, 16), one_then_zero), 0, 1, 32},
        {"zero is drawn again", concat(repeat(0, 16), zero_then_one), 0, one << 64, 32},
        {"top bit of the high word dropped", concat(repeat(0, 8), repeat(0xff, 8)),
         static_cast<uint128>((std::uint64_t{1} << 63) - 1) << 64,
         static_cast<uint128>((std::uint64_t{1} << 63) - 1) << 64, 16},
    };
    for (const DrawCase& c : cases) {
        ScriptedSource any(c.script);
        EXPECT_EQ(random_field_element(any).value, c.any_element) << c.name;
        EXPECT_EQ(any.consumed, 16u) << c.name;
        EXPECT_EQ(any.requests, 2u) << c.name;
        ScriptedSource nonzero(c.script);
        EXPECT_EQ(random_nonzero_field_element(nonzero).value, c.nonzero_element) << c.name;
        EXPECT_EQ(nonzero.consumed, c.nonzero_bytes_used) << c.name;
    }
}

}  // namespace
}  // namespace varnhold

#if defined(VARNHOLD_VERIFY)
// The sanitizer build checks the canonical invariant wherever a value is taken as canonical.
TEST(FieldElementDeathTest, VerifyBuildStopsOnValueNotBelowP) {
    using varnhold::uint128;
    const uint128 p = varnhold::field_modulus;
    for (const uint128 v : {p, p + 1, ~uint128{0}}) {
        EXPECT_DEATH((void)varnhold::FieldElement{v}, "not below p");
    }
}
#endif
