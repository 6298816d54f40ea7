#include "reference_decoder.hpp"

#include "common/stop_check.hpp"
#include "field/polynomial.hpp"
#include "safe/elimination.hpp"

namespace varnhold::testing {
namespace {

bool berlekamp_welch(std::span<const uint128> xs, std::span<const FieldElement> ys,
                     std::size_t chunk, std::size_t k, std::size_t e, FieldElement* out) {
    const std::size_t m = xs.size();
    // Unknowns: Q_0 .. Q_(k+e-1), then E_0 .. E_(e-1) of the monic error locator E of degree e.
    // Each point gives Q(x) - y (E_0 + ... + E_(e-1) x^(e-1)) = y x^e.
    const std::size_t q_count = k + e;
    const std::size_t unknowns = q_count + e;
    const std::size_t width = unknowns + 1;
    WipedVector<FieldElement> rows(m * width);
    StopCheck stop;
    for (std::size_t i = 0; i < m; ++i) {
        stop.work(2 * q_count);
        FieldElement* const row = rows.data() + i * width;
        const FieldElement x{xs[i]};
        const FieldElement y = ys[4 * i + chunk];
        const FieldElement minus_y = field_sub(FieldElement{}, y);
        FieldElement power{1};
        for (std::size_t j = 0; j < q_count; ++j) {
            row[j] = power;
            if (j < e) row[q_count + j] = field_mul(minus_y, power);
            if (j == e) row[unknowns] = field_mul(y, power);
            power = field_mul(power, x);
        }
    }
    // The Q columns hold powers of the public indices, so eliminating them first picks pivots
    // from public values only; they are independent (distinct indices), one pivot each.
    const std::vector<std::size_t> pivots =
        reduce_rows({rows.data(), rows.size()}, m, width, q_count);
    if (pivots.size() < q_count) return false;
    WipedVector<FieldElement> solution(unknowns);
    const bool consistent = solve_secret_columns({rows.data(), rows.size()}, m, width, q_count, e,
                                                 {solution.data() + q_count, e});
    // Free unknowns are 0: with at most e wrong values every solution gives the same Q / E.
    for (std::size_t r = 0; r < q_count; ++r) solution[r] = rows[r * width + unknowns];

    // Q / E by long division; E is monic, so the quotient has degree below k.
    WipedVector<FieldElement> remainder(q_count);
    for (std::size_t j = 0; j < q_count; ++j) remainder[j] = solution[j];
    for (std::size_t d = k; d-- > 0;) {
        stop.work(e + 1);
        const FieldElement q = remainder[d + e];
        out[d] = q;
        const FieldElement minus_q = field_sub(FieldElement{}, q);
        remainder[d + e] = FieldElement{};
        for (std::size_t j = 0; j < e; ++j) {
            remainder[d + j] = field_mul_add(minus_q, solution[q_count + j], remainder[d + j]);
        }
    }
    uint128 left = 0;
    for (std::size_t j = 0; j < q_count; ++j) left |= remainder[j].value;
    return consistent && left == 0;
}

}  // namespace

bool reference_locate_wrong_shares(std::span<const uint128> xs, std::span<const FieldElement> ys,
                                   std::size_t k, ShamirPolynomials& out,
                                   std::vector<std::size_t>& wrong) {
    const std::size_t m = xs.size();
    const std::size_t e = m >= k ? (m - k) / 2 : 0;
    bool decoded = e > 0;
    if (decoded) {
        for (std::size_t c = 0; c < chunk_count; ++c) {
            decoded = berlekamp_welch(xs, ys, c, k, e, out.data() + c * k) & decoded;
        }
    }
    if (!decoded) return false;
    wrong.clear();
    for (std::size_t i = 0; i < m; ++i) {
        uint128 difference = 0;
        for (std::size_t c = 0; c < chunk_count; ++c) {
            difference |= evaluate_polynomial_at(out.data() + c * k, k, FieldElement{xs[i]}).value ^
                          ys[4 * i + c].value;
        }
        if (difference != 0) wrong.push_back(i);
    }
    return wrong.size() <= e;
}

}  // namespace varnhold::testing
