// The quadratic wrong-share decoder: the same answers as the cubic reference on sets it can still
// afford, and planted wrong values found exactly (or refused one past the bound) on large sets.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "reference_decoder.hpp"
#include "safe/shamir_decode.hpp"

namespace varnhold {
namespace {

enum class Indices { consecutive, random64, near_p_with_zero };

// A set of m points on four random polynomials of degree below k, then `wrong` positions altered:
// in every chunk, or (one_chunk) in a single chunk each, chosen from the position.
struct Set {
    std::vector<uint128> xs;
    std::vector<FieldElement> ys;
    std::vector<FieldElement> polys;
    std::vector<std::size_t> planted;
};

FieldElement random_element(std::mt19937_64& engine) {
    return field_reduce(((static_cast<uint128>(engine()) << 64) | engine()) >> 1);
}

Set make_set(std::size_t m, std::size_t k, std::size_t wrong, Indices kind, bool one_chunk,
             std::mt19937_64& engine) {
    Set set{std::vector<uint128>(m),
            std::vector<FieldElement>(m * chunk_count),
            std::vector<FieldElement>(k * chunk_count),
            {}};
    std::set<uint128> used;
    for (std::size_t i = 0; i < m; ++i) {
        uint128 x = i + 1;
        if (kind != Indices::consecutive) {
            do {
                x = kind == Indices::random64 ? engine() : field_modulus - 1 - engine() % (3 * m);
                if (kind == Indices::near_p_with_zero && i == m / 2) x = 0;
            } while (!used.insert(x).second);
        }
        set.xs[i] = x;
    }
    for (std::size_t j = 0; j < set.polys.size(); ++j) set.polys[j] = random_element(engine);
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t c = 0; c < chunk_count; ++c) {
            set.ys[4 * i + c] =
                evaluate_polynomial(set.polys.data() + c * k, k, FieldElement{set.xs[i]});
        }
    }
    std::vector<std::size_t> order(m);
    for (std::size_t i = 0; i < m; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), engine);
    set.planted.assign(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(wrong));
    std::sort(set.planted.begin(), set.planted.end());
    for (const std::size_t i : set.planted) {
        for (std::size_t c = 0; c < chunk_count; ++c) {
            if (one_chunk && c != i % chunk_count) continue;
            set.ys[4 * i + c] = field_add(set.ys[4 * i + c], FieldElement{1 + engine() % 1000});
        }
    }
    return set;
}

struct Outcome {
    bool located;
    std::vector<std::size_t> wrong;
    std::vector<uint128> polys;
};

template <typename Decoder>
Outcome run(Decoder decoder, const Set& set, std::size_t k) {
    ShamirPolynomials polys(k * chunk_count);
    Outcome outcome{};
    outcome.located = decoder(set.xs, set.ys, k, polys, outcome.wrong);
    if (outcome.located) {
        for (std::size_t j = 0; j < polys.size(); ++j) outcome.polys.push_back(polys[j].value);
    } else {
        outcome.wrong.clear();
    }
    return outcome;
}

// errors: the number of altered positions, as an offset from the bound (m - k) / 2 when
// `from_bound`.
struct Case {
    std::size_t m;
    std::size_t k;
    std::ptrdiff_t errors;
    bool from_bound;
    Indices kind;
    bool one_chunk;
};

std::size_t error_count(const Case& c) {
    const auto e = static_cast<std::ptrdiff_t>((c.m - c.k) / 2);
    return static_cast<std::size_t>(
        std::max<std::ptrdiff_t>(0, c.from_bound ? e + c.errors : c.errors));
}

class AgainstReference : public ::testing::TestWithParam<Case> {};

TEST_P(AgainstReference, SameAnswers) {
    const Case c = GetParam();
    std::mt19937_64 engine(c.m * 1000 + c.k * 10 + static_cast<std::size_t>(c.errors + 5));
    for (int trial = 0; trial < (c.m < 150 ? 3 : 1); ++trial) {
        const Set set = make_set(c.m, c.k, error_count(c), c.kind, c.one_chunk, engine);
        const Outcome got = run(locate_wrong_shares, set, c.k);
        const Outcome expected = run(testing::reference_locate_wrong_shares, set, c.k);
        EXPECT_EQ(got.located, expected.located);
        EXPECT_EQ(got.wrong, expected.wrong);
        EXPECT_EQ(got.polys, expected.polys);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Decoder, AgainstReference,
    ::testing::Values(Case{3, 2, 1, false, Indices::consecutive, false},
                      Case{4, 2, 1, false, Indices::consecutive, false},
                      Case{4, 2, 2, false, Indices::consecutive, false},
                      Case{5, 3, 1, false, Indices::random64, true},
                      Case{12, 2, 0, true, Indices::consecutive, false},
                      Case{12, 2, 1, true, Indices::consecutive, false},
                      Case{13, 5, 0, true, Indices::near_p_with_zero, false},
                      Case{13, 5, 1, true, Indices::near_p_with_zero, true},
                      // Errors spread over the chunks: each chunk decodable, their union not.
                      Case{40, 2, 5, true, Indices::consecutive, true},
                      Case{40, 7, -3, true, Indices::random64, true},
                      Case{64, 10, 0, true, Indices::random64, false},
                      Case{64, 10, 1, true, Indices::random64, false},
                      Case{64, 10, 64, false, Indices::consecutive, false},
                      Case{150, 2, 1, false, Indices::consecutive, false},
                      Case{150, 30, 0, true, Indices::near_p_with_zero, false},
                      Case{300, 2, 1, false, Indices::consecutive, false},
                      Case{300, 2, 0, true, Indices::random64, false},
                      Case{300, 50, 1, true, Indices::consecutive, false}));

class PlantedErrors : public ::testing::TestWithParam<Case> {};

TEST_P(PlantedErrors, FoundExactlyOrRefusedPastTheBound) {
    const Case c = GetParam();
    std::mt19937_64 engine(c.m + c.k);
    const std::size_t wrong = error_count(c);
    const Set set = make_set(c.m, c.k, wrong, c.kind, c.one_chunk, engine);
    const Outcome got = run(locate_wrong_shares, set, c.k);
    if (wrong > (c.m - c.k) / 2) {
        EXPECT_FALSE(got.located);
        return;
    }
    ASSERT_TRUE(got.located);
    EXPECT_EQ(got.wrong, set.planted);
    std::vector<uint128> polys;
    for (std::size_t j = 0; j < set.polys.size(); ++j) polys.push_back(set.polys[j].value);
    EXPECT_EQ(got.polys, polys);
}

INSTANTIATE_TEST_SUITE_P(Decoder, PlantedErrors,
                         ::testing::Values(Case{4000, 2, 1, false, Indices::consecutive, false},
                                           Case{2000, 2, 7, false, Indices::random64, true},
                                           Case{2000, 2, 0, true, Indices::consecutive, false},
                                           Case{2000, 2, 1, true, Indices::consecutive, false},
                                           Case{1500, 40, 0, true, Indices::near_p_with_zero, true},
                                           Case{1500, 40, 1, true, Indices::random64, false}));

}  // namespace
}  // namespace varnhold
