#include "shamir/lagrange.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "common/small_vector.hpp"
#include "common/stop_check.hpp"
#include "field/polynomial.hpp"

namespace varnhold {
namespace {

// Denominators d_i = prod_{j != i} (x_i - x_j) for any indices below p. Four rows at a time keep
// four independent multiplication chains in flight; the factor for j = i is 0 and becomes 1 by a
// mask.
void general_denominators(std::span<const uint128> xs, FieldElement* denominators) {
    const std::size_t k = xs.size();
    StopCheck stop;
    std::size_t row = 0;
    for (; row + 4 <= k; row += 4) {
        stop.work(4 * k);
        std::array<FieldElement, 4> den = {FieldElement{1}, FieldElement{1}, FieldElement{1},
                                           FieldElement{1}};
        for (std::size_t j = 0; j < k; ++j) {
            const FieldElement xj{xs[j]};
            for (std::size_t r = 0; r < 4; ++r) {
                const FieldElement difference = field_sub(FieldElement{xs[row + r]}, xj);
                const FieldElement factor{difference.value | static_cast<uint128>(row + r == j)};
                den[r] = field_mul(den[r], factor);
            }
        }
        for (std::size_t r = 0; r < 4; ++r) denominators[row + r] = den[r];
    }
    for (; row < k; ++row) {
        stop.work(k);
        const FieldElement xi{xs[row]};
        FieldElement den{1};
        for (std::size_t j = 0; j < k; ++j) {
            if (j != row) den = field_mul(den, field_sub(xi, FieldElement{xs[j]}));
        }
        denominators[row] = den;
    }
}

// The running product of one denominator: its magnitudes are multiplied as words until the next
// factor would overflow, so that a field multiplication is paid once per run of factors instead
// of once per factor.
struct WordRun {
    FieldElement value{1};
    std::uint64_t run = 1;
    unsigned below = 0;

    void take(std::uint64_t xi, std::uint64_t xj) noexcept {
        below += static_cast<unsigned>(xj < xi);
        // j = i gives 0 and counts as the factor 1; distinct indices never differ by 0.
        const std::uint64_t difference = (xj < xi ? xi - xj : xj - xi) | (xj == xi);
        const uint128 product = static_cast<uint128>(run) * difference;
        if ((product >> 64) != 0) {
            value = field_mul_word(value, run);
            run = difference;
        } else {
            run = static_cast<std::uint64_t>(product);
        }
    }
    FieldElement result() const noexcept {
        const FieldElement magnitude = field_mul_word(value, run);
        return (below & 1) != 0 ? field_sub(FieldElement{}, magnitude) : magnitude;
    }
};

// Indices that all fit in a word (indices are public, so the choice of path may depend on them).
// Weight i is then prod_{j != i} x_j / prod_{j != i} (x_j - x_i): every factor is a word.
// The numerators, from prefix and suffix products.
void word_numerators(const std::uint64_t* indices, std::size_t k, FieldElement* numerators) {
    // Loops of k steps are counted as a whole: even the longest list a process can hold takes
    // them in a few tens of milliseconds.
    StopCheck stop;
    stop.work(3 * k);
    FieldElement running{1};
    for (std::size_t i = 0; i < k; ++i) {
        numerators[i] = running;
        running = field_mul_word(running, indices[i]);
    }
    running = FieldElement{1};
    for (std::size_t i = k; i-- > 0;) {
        numerators[i] = field_mul(numerators[i], running);
        running = field_mul_word(running, indices[i]);
    }
}

// The denominators of any word indices, k^2 word products: the sign of a denominator is the
// parity of the number of indices below x_i. Four denominators at a time keep four independent
// chains in flight.
void word_denominators(const std::uint64_t* indices, std::size_t k, FieldElement* denominators) {
    StopCheck stop;
    std::size_t row = 0;
    for (; row + 4 <= k; row += 4) {
        stop.work(4 * k);
        std::array<WordRun, 4> runs{};
        for (std::size_t j = 0; j < k; ++j) {
            const std::uint64_t xj = indices[j];
            for (std::size_t r = 0; r < 4; ++r) runs[r].take(indices[row + r], xj);
        }
        for (std::size_t r = 0; r < 4; ++r) denominators[row + r] = runs[r].result();
    }
    for (; row < k; ++row) {
        stop.work(k);
        WordRun single;
        for (std::size_t j = 0; j < k; ++j) single.take(indices[row], indices[j]);
        denominators[row] = single.result();
    }
}

// Indices that fill most of a short range [lo, hi], as the first k shares of a split do: then
// prod_{j != i} (x_j - x_i) is (-1)^(x_i - lo) (x_i - lo)! (hi - x_i)!, the product over the whole
// range, divided by prod (y - x_i) over the values y of the range that are no index. With the
// range's factorials that takes O(range + k m) work for m such values instead of k^2 products;
// the division moves into the numerator, which the weights multiply anyway. False, with the
// numerators untouched, when more than a quarter of k values are missing or two indices coincide.
bool range_denominators(const std::uint64_t* indices, std::size_t k, FieldElement* numerators,
                        FieldElement* denominators) {
    std::uint64_t lo = indices[0];
    std::uint64_t hi = indices[0];
    for (std::size_t i = 1; i < k; ++i) {
        lo = std::min(lo, indices[i]);
        hi = std::max(hi, indices[i]);
    }
    if (hi - lo >= k + k / 4) return false;
    const std::size_t range = static_cast<std::size_t>(hi - lo) + 1;
    ScratchBuffer<std::uint8_t, 64> present(range);
    std::fill_n(present.data(), range, std::uint8_t{0});
    for (std::size_t i = 0; i < k; ++i) {
        std::uint8_t& seen = present[static_cast<std::size_t>(indices[i] - lo)];
        if (seen != 0) return false;
        seen = 1;
    }
    ScratchBuffer<std::uint64_t, 16> missing(range - k);
    for (std::size_t y = 0, m = 0; y < range; ++y) {
        if (present[y] == 0) missing[m++] = lo + y;
    }
    StopCheck stop;
    stop.work(range);
    ScratchBuffer<FieldElement, 64> factorials(range);
    factorials[0] = FieldElement{1};
    for (std::size_t t = 1; t < range; ++t) factorials[t] = field_mul_word(factorials[t - 1], t);
    for (std::size_t i = 0; i < k; ++i) {
        stop.work(range - k + 3);
        const std::uint64_t x = indices[i];
        WordRun absent;
        for (std::size_t m = 0; m < range - k; ++m) absent.take(x, missing[m]);
        numerators[i] = field_mul(numerators[i], absent.result());
        const FieldElement whole = field_mul(factorials[static_cast<std::size_t>(x - lo)],
                                             factorials[static_cast<std::size_t>(hi - x)]);
        denominators[i] = ((x - lo) & 1) != 0 ? field_sub(FieldElement{}, whole) : whole;
    }
    return true;
}

// Numerators prod_{j != i} (0 - x_j) from prefix and suffix products, which stays correct when
// an index is 0, and denominators prod_{j != i} (x_i - x_j), for any indices below p.
void general_numerators_and_denominators(std::span<const uint128> xs, FieldElement* numerators,
                                         FieldElement* denominators) {
    const std::size_t k = xs.size();
    StopCheck stop;
    stop.work(3 * k);
    FieldElement running{1};
    for (std::size_t i = 0; i < k; ++i) {
        numerators[i] = running;
        running = field_mul(running, field_sub(FieldElement{}, FieldElement{xs[i]}));
    }
    running = FieldElement{1};
    for (std::size_t i = k; i-- > 0;) {
        numerators[i] = field_mul(numerators[i], running);
        running = field_mul(running, field_sub(FieldElement{}, FieldElement{xs[i]}));
    }
    general_denominators(xs, denominators);
}

// A few small indices: every numerator, every denominator's magnitude and the product of all
// magnitudes fit in a word. One inversion of that product and one or two word multiplications
// per weight then give every weight. False, with nothing written, when some product does not fit
// or two indices coincide; the general way then decides.
bool few_small_weights(std::span<const uint128> xs, FieldElement* weights) {
    constexpr std::size_t most = 8;
    const std::size_t k = xs.size();
    if (k > most) return false;
    std::array<std::uint64_t, most> indices{};
    for (std::size_t i = 0; i < k; ++i) {
        if ((xs[i] >> 64) != 0) return false;
        indices[i] = static_cast<std::uint64_t>(xs[i]);
    }
    std::array<std::uint64_t, most> numerators{};
    std::array<std::uint64_t, most> magnitudes{};
    unsigned negative = 0;  // bit i: denominator i is below 0
    std::uint64_t product = 1;
    for (std::size_t i = 0; i < k; ++i) {
        const std::uint64_t xi = indices[i];
        std::uint64_t n = 1;
        std::uint64_t d = 1;
        unsigned below = 0;
        for (std::size_t j = 0; j < k; ++j) {
            if (j == i) continue;
            const std::uint64_t xj = indices[j];
            below += static_cast<unsigned>(xj < xi);
            // The denominator's factor is xj - xi.
            if (__builtin_mul_overflow(n, xj, &n) ||
                __builtin_mul_overflow(d, xj < xi ? xi - xj : xj - xi, &d)) {
                return false;
            }
        }
        if (__builtin_mul_overflow(product, d, &product)) return false;
        numerators[i] = n;
        magnitudes[i] = d;
        negative |= (below & 1u) << i;
    }
    if (product == 0) return false;
    const FieldElement inverse = field_inv_public(FieldElement{product});
    for (std::size_t i = 0; i < k; ++i) {
        // 1 / d_i = (the product of the other magnitudes) / product, an exact division.
        const std::uint64_t others = product / magnitudes[i];
        std::uint64_t factor = 0;
        const FieldElement magnitude =
            __builtin_mul_overflow(numerators[i], others, &factor)
                ? field_mul_word(field_mul_word(inverse, numerators[i]), others)
                : field_mul_word(inverse, factor);
        weights[i] = (negative >> i & 1u) != 0 ? field_sub(FieldElement{}, magnitude) : magnitude;
    }
    return true;
}

// The Lagrange weights at zero, w_i = prod_{j != i} (0 - x_j) / prod_{j != i} (x_i - x_j). They
// depend only on the indices, so they serve all four chunks, and a single inversion of the
// product of all denominators yields every denominator's inverse. `over_index` multiplies each
// denominator by its index before that inversion. `work` holds 3k elements: the weights come out
// in the first k, the rest is scratch.
bool weights_at_zero(std::span<const uint128> xs, FieldElement* work, bool over_index) {
    const std::size_t k = xs.size();
    FieldElement* const weights = work;
    FieldElement* const prefix = weights + k;
    FieldElement* const denominators = prefix + k;
    if (!over_index && few_small_weights(xs, weights)) return true;

    bool words = true;
    for (const uint128 x : xs) words = words && (x >> 64) == 0;
    if (words) {
        // Small thresholds, the common case, keep the packed indices off the heap.
        ScratchBuffer<std::uint64_t, 32> indices(k);
        for (std::size_t i = 0; i < k; ++i) {
            indices[i] = static_cast<std::uint64_t>(xs[i]);
        }
        word_numerators(indices.data(), k, weights);
        if (!range_denominators(indices.data(), k, weights, denominators))
            word_denominators(indices.data(), k, denominators);
    } else {
        general_numerators_and_denominators(xs, weights, denominators);
    }

    StopCheck stop;
    stop.work(4 * k);
    // The denominators depend on the indices alone, which are public: a variable-time inverse is
    // safe. Differences of distinct indices below p are never 0; should a product of them still
    // be, the combine fails instead of returning some other secret.
    if (over_index) {
        for (std::size_t i = 0; i < k; ++i)
            denominators[i] = field_mul(denominators[i], FieldElement{xs[i]});
    }
    if (!invert_public_batch(denominators, prefix, k)) return false;
    for (std::size_t i = 0; i < k; ++i) weights[i] = field_mul(weights[i], denominators[i]);
    return true;
}

}  // namespace

bool lagrange_weights_at_zero(std::span<const uint128> xs, FieldElement* work) {
    return weights_at_zero(xs, work, false);
}

bool lagrange_weights_over_index(std::span<const uint128> xs, FieldElement* work) {
    return weights_at_zero(xs, work, true);
}

}  // namespace varnhold
