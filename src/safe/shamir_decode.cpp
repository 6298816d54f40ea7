#include "safe/shamir_decode.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/memory_limit.hpp"
#include "common/small_vector.hpp"
#include "common/stop_check.hpp"
#include "field/polynomial.hpp"
#include "random/vdso_source.hpp"
#include "shamir/lagrange.hpp"

namespace varnhold {
namespace {

// How many values each point carries: ys holds them point by point, the same count for each.
std::size_t values_per_point(std::span<const uint128> xs, std::span<const FieldElement> ys) {
    const std::size_t width = xs.empty() ? 0 : ys.size() / xs.size();
    if (width == 0 || width > max_share_values)
        throw InternalFailure("values per point out of range");
    return width;
}

}  // namespace

void interpolate_shamir(std::span<const uint128> xs, std::span<const FieldElement> ys,
                        std::size_t k, ShamirPolynomials& out) {
    const std::size_t width = values_per_point(xs, ys);
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
    // Constant time: the decoder passes indices it chose without branching on secret masks.
    FieldElement remaining = field_inv(product);
    std::vector<FieldElement> inverses(k);
    for (std::size_t i = k; i-- > 0;) {
        inverses[i] = field_mul(remaining, prefix[i]);
        remaining = field_mul(remaining, denominators[i]);
    }

    for (std::size_t n = 0; n < out.size(); ++n) out[n] = FieldElement{};
    std::vector<FieldElement> basis(k);
    std::array<FieldElement, max_share_values> weights{};
    const WipeAtExit wipe_weights(weights);
    for (std::size_t i = 0; i < k; ++i) {
        stop.work((width + 1) * k);
        // basis = master / (x - x_i) by synthetic division from the top.
        const FieldElement xi{xs[i]};
        FieldElement carry = master[k];
        for (std::size_t j = k; j-- > 0;) {
            basis[j] = carry;
            carry = field_mul_add(carry, xi, master[j]);
        }
        for (std::size_t c = 0; c < width; ++c)
            weights[c] = field_mul(ys[width * i + c], inverses[i]);
        for (std::size_t c = 0; c < width; ++c) {
            FieldElement* const poly = out.data() + c * k;
            for (std::size_t j = 0; j < k; ++j)
                poly[j] = field_mul_add(weights[c], basis[j], poly[j]);
        }
    }
}

bool shamir_constant_terms(std::span<const uint128> xs, std::span<const FieldElement> ys,
                           std::size_t k, FieldElement* out, bool times_index) {
    // The weights of the values at 0 come from the indices alone; small sets keep them on the
    // stack.
    ScratchBuffer<FieldElement, 3 * 8> room(3 * k);
    FieldElement* const weights = room.data();
    if (!(times_index ? lagrange_weights_over_index(xs.first(k), weights)
                      : lagrange_weights_at_zero(xs.first(k), weights)))
        return false;
    const std::size_t width = values_per_point(xs, ys);
    StopCheck stop;
    stop.work(width * k);
    for (std::size_t c = 0; c < width; ++c) {
        // Partial sums stay at most 2^127 and are reduced once.
        uint128 sum = 0;
        for (std::size_t i = 0; i < k; ++i)
            sum = field_mul_add_lazy(weights[i].value, ys[width * i + c].value, sum);
        out[c] = field_canonical(sum);
    }
    return true;
}

namespace {

// All ones when `a` is not 0: a < 2^127, so a | -a has its top bit set exactly then.
uint128 nonzero_mask(FieldElement a) noexcept {
    return uint128{0} - ((a.value | (uint128{0} - a.value)) >> 127);
}

// All ones when a == b, without a branch.
uint128 equal_mask(std::uint64_t a, std::uint64_t b) noexcept {
    const std::uint64_t d = a ^ b;
    return uint128{0} - (((d | (std::uint64_t{0} - d)) >> 63) ^ 1);
}

FieldElement select(uint128 mask, FieldElement a, FieldElement b) noexcept {
    return FieldElement{(a.value & mask) | (b.value & ~mask)};
}

// a * x + c for a public x, one word product fewer when x fits in 64 bits (share indices do).
FieldElement mul_public_add(FieldElement a, uint128 x, FieldElement c) noexcept {
    if (x >> 64 == 0) return field_mul_word_add(a, static_cast<std::uint64_t>(x), c);
    return field_mul_add(a, FieldElement{x}, c);
}

// What the decoder knows from the indices alone (all public): the nodes x_i - a, with a public a
// that is no index, so that no node is 0; and the weights u_i = 1 / prod_{j != i} (x_i - x_j) of
// the parity checks sum_i u_i P(x_i) x_i^j = 0 (j < m - k) that every polynomial of degree below k
// passes.
struct Nodes {
    std::vector<uint128> nodes;
    std::vector<FieldElement> weights;
};

Nodes index_nodes(std::span<const uint128> xs, StopCheck& stop) {
    const std::size_t m = xs.size();
    Nodes n{std::vector<uint128>(m), std::vector<FieldElement>(m)};
    // The smallest shift in 0 .. m that is no index (m indices cannot take all m + 1).
    std::vector<bool> taken(m + 1);
    for (const uint128 x : xs) {
        if (x <= m) taken[static_cast<std::size_t>(x)] = true;
    }
    const uint128 shift =
        static_cast<uint128>(std::find(taken.begin(), taken.end(), false) - taken.begin());
    for (std::size_t i = 0; i < m; ++i) {
        n.nodes[i] = field_sub(FieldElement{xs[i]}, FieldElement{shift}).value;
    }
    // prod_{j != i} (x_i - x_j). Indices below 2^32 (as share numbers are) multiply two
    // differences in one word, and their signs are counted apart.
    const bool small = std::all_of(xs.begin(), xs.end(), [](uint128 x) { return x >> 32 == 0; });
    std::vector<std::uint64_t> narrow(small ? m : 0);
    for (std::size_t i = 0; i < narrow.size(); ++i) narrow[i] = static_cast<std::uint64_t>(xs[i]);
    std::vector<FieldElement> prefix(m);
    FieldElement product{1};
    for (std::size_t i = 0; i < m; ++i) {
        stop.work(m);
        FieldElement d{1};
        bool negative = false;
        if (small) {
            const std::uint64_t a = narrow[i];
            std::uint64_t pending = 1, below = 0;
            for (std::size_t j = 0; j < m; ++j) {
                const std::uint64_t b = narrow[j];
                below += a < b ? 1 : 0;
                const std::uint64_t difference = j == i ? 1 : (a < b ? b - a : a - b);
                if ((j & 1) == 0) {
                    pending = difference;
                } else {
                    d = field_mul_word(d, pending * difference);
                }
            }
            if ((m & 1) == 1) d = field_mul_word(d, pending);
            negative = (below & 1) == 1;
        } else {
            for (std::size_t j = 0; j < m; ++j) {
                if (j == i) continue;
                d = field_mul(d, field_sub(FieldElement{xs[i]}, FieldElement{xs[j]}));
            }
        }
        n.weights[i] = negative ? field_sub(FieldElement{}, d) : d;
        prefix[i] = product;
        product = field_mul(product, n.weights[i]);
    }
    FieldElement remaining = field_inv_public(product);
    for (std::size_t i = m; i-- > 0;) {
        const FieldElement d = n.weights[i];
        n.weights[i] = field_mul(remaining, prefix[i]);
        remaining = field_mul(remaining, d);
    }
    return n;
}

// Marks with all ones in `good` the positions where the error locator of the word
// z_i = sum_c r_c y_(i,c) is not 0, assuming at most e errors. With at most e errors the marked
// positions are exactly the right ones; with more they are some other set, which the
// verification that follows rejects.
void locator_nonzero(const Nodes& n, std::span<const FieldElement> ys,
                     const std::array<FieldElement, max_share_values>& r, std::size_t e,
                     WipedVector<uint128>& good, StopCheck& stop) {
    const std::size_t m = n.nodes.size();
    const std::size_t width = ys.size() / m;
    // Syndromes S_j = sum_i u_i z_i x_i^j, j < 2e: zero for a codeword.
    WipedVector<FieldElement> syndromes(2 * e);
    for (std::size_t i = 0; i < m; ++i) {
        stop.work(2 * e + width);
        FieldElement z{};
        for (std::size_t c = 0; c < width; ++c) z = field_mul_add(r[c], ys[width * i + c], z);
        FieldElement term = field_mul(z, n.weights[i]);
        for (std::size_t j = 0; j < 2 * e; ++j) {
            syndromes[j] = field_add(syndromes[j], term);
            term = mul_public_add(term, n.nodes[i], FieldElement{});
        }
    }
    // Berlekamp-Massey: lambda <- lambda - (d / gamma) x b. Every step does the same work, the
    // inversion included; whether it takes the discrepancy as the new gamma is a mask.
    // Coefficients above step + 1 are still 0 at that step and are left out.
    const std::size_t terms = e + 1;
    WipedVector<FieldElement> lambda(terms), b(terms);
    lambda[0] = FieldElement{1};
    b[0] = FieldElement{1};
    FieldElement gamma_inverse{1};
    std::uint64_t length = 0;
    for (std::size_t step = 0; step < 2 * e; ++step) {
        const std::size_t top = std::min(step + 1, e);
        stop.work(2 * (top + 1) + 160);
        uint128 sum = 0;
        for (std::size_t j = 0; j <= std::min(step, e); ++j)
            sum = field_mul_add_lazy(lambda[j].value, syndromes[step - j].value, sum);
        const FieldElement d = field_canonical(sum);
        // 2 length <= step, as a mask.
        const std::uint64_t short_bit =
            static_cast<std::uint64_t>(static_cast<std::int64_t>(2 * length - step - 1) >> 63) & 1;
        const uint128 take = nonzero_mask(d) & (uint128{0} - short_bit);
        const FieldElement minus_q = field_sub(FieldElement{}, field_mul(d, gamma_inverse));
        for (std::size_t j = top + 1; j-- > 0;) {
            const FieldElement shifted = j > 0 ? b[j - 1] : FieldElement{};
            const FieldElement old = lambda[j];
            lambda[j] = field_mul_add(minus_q, shifted, old);
            b[j] = select(take, old, shifted);
        }
        const std::uint64_t keep = static_cast<std::uint64_t>(~take);
        length = (length & keep) | ((step + 1 - length) & ~keep);
        gamma_inverse = select(take, field_inv(d), gamma_inverse);
    }
    // lambda(z) = prod (1 - x_i z) over the errors: x^e lambda(1/x) vanishes at their nodes.
    for (std::size_t i = 0; i < m; ++i) {
        stop.work(terms);
        FieldElement value{};
        for (std::size_t j = 0; j < terms; ++j)
            value = mul_public_add(value, n.nodes[i], lambda[j]);
        good[i] = nonzero_mask(value);
    }
}

// Interpolates the polynomials of the chunks in `chunks` through the first k positions marked in
// `good` (picked with masks over every position), writes them to `out`, and marks in `bad` every
// position where one of those chunks disagrees. With fewer than k marked the polynomials are some
// others, which the caller's count rejects.
void rebuild_and_verify(std::span<const uint128> xs, std::span<const FieldElement> ys,
                        std::size_t k, const WipedVector<uint128>& good,
                        const std::array<bool, max_share_values>& chunks, ShamirPolynomials& out,
                        WipedVector<uint128>& bad, StopCheck& stop) {
    const std::size_t m = xs.size();
    const std::size_t width = values_per_point(xs, ys);
    WipedVector<uint128> picked_x(k);
    WipedVector<FieldElement> picked_y(k * width);
    std::uint64_t count = 0;
    for (std::size_t i = 0; i < m; ++i) {
        stop.work(k);
        for (std::size_t s = 0; s < k; ++s) {
            const uint128 mask = good[i] & equal_mask(count, s);
            picked_x[s] |= xs[i] & mask;
            // Masked selection: the value is either kept or replaced by a canonical one.
            for (std::size_t c = 0; c < width; ++c) {
                picked_y[width * s + c] =
                    FieldElement{picked_y[width * s + c].value | (ys[width * i + c].value & mask)};
            }
        }
        count += static_cast<std::uint64_t>(good[i] & 1);
    }
    ShamirPolynomials trial(k * width);
    interpolate_shamir({picked_x.data(), k}, {picked_y.data(), picked_y.size()}, k, trial);
    for (std::size_t c = 0; c < width; ++c) {
        if (!chunks[c]) continue;
        std::copy_n(trial.data() + c * k, k, out.data() + c * k);
        for (std::size_t i = 0; i < m; ++i) {
            stop.work(k);
            const FieldElement value =
                evaluate_polynomial_at(trial.data() + c * k, k, FieldElement{xs[i]});
            bad[i] |= nonzero_mask(field_sub(value, ys[width * i + c]));
        }
    }
}

// The one test of the outcome: at most e positions marked bad. Only then, when they are the
// wrong shares that the report names anyway, are they listed.
bool list_if_at_most(const WipedVector<uint128>& bad, std::size_t e,
                     std::vector<std::size_t>& wrong) {
    std::uint64_t count = 0;
    for (std::size_t i = 0; i < bad.size(); ++i) count += static_cast<std::uint64_t>(bad[i] & 1);
    if (count > e) return false;
    wrong.clear();
    for (std::size_t i = 0; i < bad.size(); ++i) {
        if (bad[i] != 0) wrong.push_back(i);
    }
    return true;
}

}  // namespace

bool locate_wrong_shares(std::span<const uint128> xs, std::span<const FieldElement> ys,
                         std::size_t k, ShamirPolynomials& out, std::vector<std::size_t>& wrong) {
    const std::size_t m = xs.size();
    if (m < k + 2) return false;
    const std::size_t width = values_per_point(xs, ys);
    const std::size_t e = (m - k) / 2;
    // Nodes, weights and their products, marks, syndromes and the locator's two polynomials:
    // at most 120 bytes a point.
    require_fits_in_memory(saturating_mul(m, 120));
    StopCheck stop;
    const Nodes nodes = index_nodes(xs, stop);
    WipedVector<uint128> good(m), bad(m);

    // The random combination: a wrong value hides in it only if its errors cancel, which public
    // random weights make a chance of about 2^-125.
    std::array<FieldElement, max_share_values> r{};
    std::array<std::uint8_t, 16 * max_share_values> bytes{};
    process_vdso_source().fill(bytes.data(), 16 * width);
    for (std::size_t c = 0; c < width; ++c) {
        uint128 v = 0;
        for (std::size_t b = 0; b < 16; ++b) v = (v << 8) | bytes[16 * c + b];
        r[c] = field_reduce(v >> 1);
    }
    // Bounds of 1, 2, 4, .. wrong values, then e: a bound of at least the number t of wrong
    // values finds them, and a bound below t is rejected whatever the values, so the work
    // stops at the first bound of at least t: it depends on how many shares are wrong, which
    // the report states, and one wrong share costs little more than the weights.
    for (std::size_t bound = 1;; bound = std::min(2 * bound, e)) {
        for (std::size_t i = 0; i < m; ++i) bad[i] = 0;
        locator_nonzero(nodes, ys, r, bound, good, stop);
        std::array<bool, max_share_values> all{};
        for (std::size_t c = 0; c < width; ++c) all[c] = true;
        rebuild_and_verify(xs, ys, k, good, all, out, bad, stop);
        if (list_if_at_most(bad, bound, wrong)) return true;
        if (bound == e) break;
    }

    // Each value by itself: this decides, exactly as decoding them separately always did.
    for (std::size_t i = 0; i < m; ++i) bad[i] = 0;
    for (std::size_t c = 0; c < width; ++c) {
        std::array<FieldElement, max_share_values> unit{};
        unit[c] = FieldElement{1};
        std::array<bool, max_share_values> only{};
        only[c] = true;
        locator_nonzero(nodes, ys, unit, e, good, stop);
        rebuild_and_verify(xs, ys, k, good, only, out, bad, stop);
    }
    return list_if_at_most(bad, e, wrong);
}
}  // namespace varnhold
