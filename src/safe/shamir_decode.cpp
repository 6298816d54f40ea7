#include "safe/shamir_decode.hpp"

#include <array>
#include <vector>

#include "common/small_vector.hpp"
#include "common/stop_check.hpp"
#include "safe/elimination.hpp"
#include "shamir/lagrange.hpp"

namespace varnhold {

FieldElement evaluate_polynomial(const FieldElement* coefficients, std::size_t k,
                                 FieldElement x) noexcept {
    FieldElement y{};
    for (std::size_t j = k; j-- > 0;) y = field_mul_add(y, x, coefficients[j]);
    return y;
}

void interpolate_shamir(std::span<const uint128> xs, std::span<const FieldElement> ys,
                        std::size_t k, ShamirPolynomials& out) {
    // master = prod (x - x_i), highest coefficient last; degree k.
    std::vector<FieldElement> master(k + 1);
    master[0] = FieldElement{1};
    StopCheck stop;
    for (std::size_t i = 0; i < k; ++i) {
        stop.work(i + 1);
        const FieldElement xi{xs[i]};
        for (std::size_t j = i + 1; j > 0; --j) {
            master[j] = field_sub(master[j - 1], field_mul(master[j], xi));
        }
        master[0] = field_sub(FieldElement{}, field_mul(master[0], xi));
    }
    // Denominators prod_{j != i} (x_i - x_j), all inverted with one exponentiation.
    std::vector<FieldElement> denominators(k), prefix(k);
    FieldElement product{1};
    for (std::size_t i = 0; i < k; ++i) {
        stop.work(k);
        FieldElement d{1};
        for (std::size_t j = 0; j < k; ++j) {
            if (j != i) d = field_mul(d, field_sub(FieldElement{xs[i]}, FieldElement{xs[j]}));
        }
        denominators[i] = d;
        prefix[i] = product;
        product = field_mul(product, d);
    }
    // The denominators are products of index differences, which are public.
    FieldElement remaining = field_inv_public(product);
    std::vector<FieldElement> inverses(k);
    for (std::size_t i = k; i-- > 0;) {
        inverses[i] = field_mul(remaining, prefix[i]);
        remaining = field_mul(remaining, denominators[i]);
    }

    for (std::size_t n = 0; n < out.size(); ++n) out[n] = FieldElement{};
    std::vector<FieldElement> basis(k);
    std::array<FieldElement, chunk_count> weights{};
    const WipeAtExit wipe_weights(weights);
    for (std::size_t i = 0; i < k; ++i) {
        stop.work((chunk_count + 1) * k);
        // basis = master / (x - x_i) by synthetic division from the top.
        const FieldElement xi{xs[i]};
        FieldElement carry = master[k];
        for (std::size_t j = k; j-- > 0;) {
            basis[j] = carry;
            carry = field_mul_add(carry, xi, master[j]);
        }
        for (std::size_t c = 0; c < chunk_count; ++c)
            weights[c] = field_mul(ys[4 * i + c], inverses[i]);
        for (std::size_t c = 0; c < chunk_count; ++c) {
            FieldElement* const poly = out.data() + c * k;
            for (std::size_t j = 0; j < k; ++j)
                poly[j] = field_mul_add(weights[c], basis[j], poly[j]);
        }
    }
}

bool shamir_constant_terms(std::span<const uint128> xs, std::span<const FieldElement> ys,
                           std::size_t k, FieldElement* out) {
    // The weights of the values at 0 come from the indices alone; small sets keep them on the
    // stack.
    constexpr std::size_t on_stack = 8;
    StackStorage<FieldElement, 3 * on_stack> small;
    std::vector<FieldElement> large(k > on_stack ? 3 * k : 0);
    FieldElement* const weights = k > on_stack ? large.data() : small.data();
    if (!lagrange_weights_at_zero(xs.first(k), weights)) return false;
    StopCheck stop;
    stop.work(chunk_count * k);
    for (std::size_t c = 0; c < chunk_count; ++c) {
        // Partial sums stay at most 2^127 and are reduced once.
        uint128 sum = 0;
        for (std::size_t i = 0; i < k; ++i)
            sum = field_mul_add_lazy(weights[i].value, ys[4 * i + c].value, sum);
        out[c] = field_canonical(sum);
    }
    return true;
}

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

}  // namespace varnhold
