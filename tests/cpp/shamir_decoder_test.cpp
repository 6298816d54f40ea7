// The quadratic wrong-share decoder: the cubic reference's answers on sets it can still afford,
// and planted wrong values found exactly, or refused one past the bound, on large sets.

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <set>
#include <vector>

#include "field/polynomial.hpp"
#include "reference_decoder.hpp"
#include "safe/shamir_decode.hpp"

namespace varnhold {
namespace {

enum class Indices { consecutive, random64, near_p_and_zero };

// m, k, wrong values (added to (m - k) / 2 when from_bound), indices, and whether each wrong
// share has one chunk altered (a different one from share to share) instead of all four.
struct Case {
    std::size_t m, k;
    int wrong;
    bool from_bound;
    Indices kind;
    bool one_chunk;
};

// The test's name shows the case; without this the framework prints the struct's bytes, padding
// included, which memcheck reports as uninitialised.
void PrintTo(const Case& c, std::ostream* out) {
    *out << "m=" << c.m << " k=" << c.k << " wrong=" << c.wrong << (c.from_bound ? "+bound" : "")
         << " indices=" << static_cast<int>(c.kind) << (c.one_chunk ? " one chunk" : "");
}

struct Set {
    std::vector<uint128> xs;
    std::vector<FieldElement> ys, polys;
    std::vector<std::size_t> planted;
};

Set make_set(const Case& c, std::mt19937_64& engine) {
    auto element = [&engine] { return field_reduce(((uint128{engine()} << 64) | engine()) >> 1); };
    Set s{std::vector<uint128>(c.m), std::vector<FieldElement>(c.m * chunk_count),
          std::vector<FieldElement>(c.k * chunk_count), std::vector<std::size_t>(c.m)};
    std::set<uint128> used;
    for (std::size_t i = 0; i < c.m; ++i) {
        do {
            s.xs[i] = c.kind == Indices::consecutive ? i + 1
                      : c.kind == Indices::random64  ? engine()
                      : i == c.m / 2                 ? 0
                                                     : field_modulus - 1 - engine() % (3 * c.m);
        } while (!used.insert(s.xs[i]).second);
    }
    for (FieldElement& a : s.polys) a = element();
    for (std::size_t i = 0; i < c.m * chunk_count; ++i)
        s.ys[i] =
            evaluate_polynomial_at(s.polys.data() + i % 4 * c.k, c.k, FieldElement{s.xs[i / 4]});
    const int e = static_cast<int>((c.m - c.k) / 2);
    for (std::size_t i = 0; i < c.m; ++i) s.planted[i] = i;
    std::shuffle(s.planted.begin(), s.planted.end(), engine);
    s.planted.resize(static_cast<std::size_t>(std::max(0, c.wrong + (c.from_bound ? e : 0))));
    std::sort(s.planted.begin(), s.planted.end());
    for (const std::size_t i : s.planted) {
        for (std::size_t chunk = 0; chunk < chunk_count; ++chunk) {
            if (!c.one_chunk || chunk == i % chunk_count)
                s.ys[4 * i + chunk] = field_add(s.ys[4 * i + chunk], element());
        }
    }
    return s;
}

// Whether the wrong values were located; if so, where, and the four polynomials.
template <typename Decoder>
std::pair<std::vector<std::size_t>, std::vector<uint128>> decode(Decoder decoder, const Set& s,
                                                                 std::size_t k) {
    ShamirPolynomials polys(k * chunk_count);
    std::vector<std::size_t> wrong{s.xs.size()};  // "refused" unless located
    std::vector<uint128> values;
    if (!decoder(s.xs, s.ys, k, polys, wrong)) return {{s.xs.size()}, {}};
    for (std::size_t j = 0; j < polys.size(); ++j) values.push_back(polys[j].value);
    return {wrong, values};
}

class Decoder : public ::testing::TestWithParam<Case> {};

// Up to about 300 points: exactly the reference's answer. Beyond, the reference is too slow, and
// the answer must be the planted positions and polynomials, or a refusal past the bound.
TEST_P(Decoder, LocatesWhatTheReferenceLocates) {
    const Case c = GetParam();
    std::mt19937_64 engine(c.m * 131 + c.k * 7 + static_cast<std::size_t>(c.wrong + 9));
    const Set s = make_set(c, engine);
    const auto got = decode(locate_wrong_shares, s, c.k);
    if (c.m <= 300) {
        EXPECT_EQ(got, decode(testing::reference_locate_wrong_shares, s, c.k));
    } else if (s.planted.size() > (c.m - c.k) / 2) {
        EXPECT_EQ(got.first, std::vector<std::size_t>{c.m});
    } else {
        std::vector<uint128> polys;
        for (const FieldElement& a : s.polys) polys.push_back(a.value);
        EXPECT_EQ(got, std::make_pair(s.planted, polys));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shamir, Decoder,
    ::testing::Values(Case{3, 2, 1, false, Indices::consecutive, false},
                      Case{4, 2, 1, false, Indices::consecutive, false},
                      Case{5, 3, 1, false, Indices::random64, true},
                      Case{13, 5, 0, true, Indices::near_p_and_zero, false},
                      Case{13, 5, 1, true, Indices::near_p_and_zero, true},
                      // Spread over the chunks: each chunk decodable alone, all four not.
                      Case{40, 2, 5, true, Indices::consecutive, true},
                      Case{40, 7, -3, true, Indices::random64, true},
                      Case{64, 10, 64, false, Indices::consecutive, false},
                      Case{150, 30, 0, true, Indices::near_p_and_zero, false},
                      Case{300, 2, 1, false, Indices::consecutive, false},
                      Case{300, 2, 0, true, Indices::random64, false},
                      Case{300, 50, 1, true, Indices::consecutive, false},
                      Case{4000, 2, 1, false, Indices::consecutive, false},
                      Case{2000, 2, 7, false, Indices::random64, true},
                      Case{2000, 2, 0, true, Indices::consecutive, false},
                      Case{2000, 2, 1, true, Indices::consecutive, false},
                      Case{1500, 40, 0, true, Indices::near_p_and_zero, true},
                      Case{1500, 40, 1, true, Indices::random64, false}));

}  // namespace
}  // namespace varnhold
