#include <array>
#include <span>
#include <vector>

#include "common/decimal.hpp"
#include "common/small_vector.hpp"
#include "common/stop_check.hpp"
#include "shamir/chunks.hpp"
#include "shamir/shamir.hpp"
#include "shamir/shamir_share.hpp"

namespace varnhold {
namespace {

// Up to this many shares are combined without a heap allocation.
constexpr std::size_t few_shares = 8;

constexpr const char* zero_denominator_message =
    "Zero denominator in GF(p): invalid or duplicate share";

// Denominators d_i = prod_{j != i} (x_i - x_j) for any indices below p. Four rows at a time keep
// four independent multiplication chains in flight; the factor for j = i is 0 and becomes 1 by a
// mask.
void general_denominators(std::span<const ShamirShare> shares, FieldElement* denominators) {
    const std::size_t k = shares.size();
    StopCheck stop;
    std::size_t row = 0;
    for (; row + 4 <= k; row += 4) {
        stop.work(4 * k);
        std::array<FieldElement, 4> den = {FieldElement{1}, FieldElement{1}, FieldElement{1},
                                           FieldElement{1}};
        for (std::size_t j = 0; j < k; ++j) {
            const FieldElement xj{shares[j].index};
            for (std::size_t r = 0; r < 4; ++r) {
                FieldElement factor = field_sub(FieldElement{shares[row + r].index}, xj);
                factor.value |= static_cast<uint128>(row + r == j);
                den[r] = field_mul(den[r], factor);
            }
        }
        for (std::size_t r = 0; r < 4; ++r) denominators[row + r] = den[r];
    }
    for (; row < k; ++row) {
        stop.work(k);
        const FieldElement xi{shares[row].index};
        FieldElement den{1};
        for (std::size_t j = 0; j < k; ++j) {
            if (j != row) den = field_mul(den, field_sub(xi, FieldElement{shares[j].index}));
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
// Weight i is then prod_{j != i} x_j / prod_{j != i} (x_j - x_i): every factor is a word, and
// the sign of the denominator is the parity of the number of indices below x_i. Four
// denominators at a time keep four independent chains in flight.
void word_numerators_and_denominators(const std::uint64_t* indices, std::size_t k,
                                      FieldElement* numerators, FieldElement* denominators) {
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

// Numerators prod_{j != i} (0 - x_j) from prefix and suffix products, which stays correct when
// an index is 0, and denominators prod_{j != i} (x_i - x_j), for any indices below p.
void general_numerators_and_denominators(std::span<const ShamirShare> shares,
                                         FieldElement* numerators, FieldElement* denominators) {
    const std::size_t k = shares.size();
    StopCheck stop;
    stop.work(3 * k);
    FieldElement running{1};
    for (std::size_t i = 0; i < k; ++i) {
        numerators[i] = running;
        running = field_mul(running, field_sub(FieldElement{}, FieldElement{shares[i].index}));
    }
    running = FieldElement{1};
    for (std::size_t i = k; i-- > 0;) {
        numerators[i] = field_mul(numerators[i], running);
        running = field_mul(running, field_sub(FieldElement{}, FieldElement{shares[i].index}));
    }
    general_denominators(shares, denominators);
}

// The Lagrange weights at zero, w_i = prod_{j != i} (0 - x_j) / prod_{j != i} (x_i - x_j). They
// depend only on the indices, so they serve all four chunks, and a single inversion of the
// product of all denominators yields every denominator's inverse.
// `work` holds 3k elements: the weights come out in the first k, the rest is scratch.
Result<void> lagrange_weights_at_zero(std::span<const ShamirShare> shares, FieldElement* work) {
    const std::size_t k = shares.size();
    FieldElement* const weights = work;
    FieldElement* const prefix = weights + k;
    FieldElement* const denominators = prefix + k;

    bool words = true;
    for (const ShamirShare& share : shares) words = words && (share.index >> 64) == 0;
    if (words) {
        // Small thresholds, the common case, keep the packed indices off the heap.
        std::array<std::uint64_t, 32> few;
        std::vector<std::uint64_t> many(k > few.size() ? k : 0);
        std::uint64_t* const indices = k > few.size() ? many.data() : few.data();
        for (std::size_t i = 0; i < k; ++i) {
            indices[i] = static_cast<std::uint64_t>(shares[i].index);
        }
        word_numerators_and_denominators(indices, k, weights, denominators);
    } else {
        general_numerators_and_denominators(shares, weights, denominators);
    }

    // Running products for the batch inversion.
    StopCheck stop;
    stop.work(k);
    FieldElement product{1};
    for (std::size_t r = 0; r < k; ++r) {
        prefix[r] = product;
        product = field_mul(product, denominators[r]);
    }

    // The product depends on the indices alone, which are public: a variable-time inverse is safe.
    // Differences of distinct indices below p are never 0; should the product still be, the
    // combine fails instead of returning some other secret.
    const FieldElement inverse = field_inv_public(product);
    if (inverse.value == 0) return SharingError{zero_denominator_message};
    // inverse = 1 / (d_0 ... d_i); walking down peels one denominator off at a time.
    FieldElement remaining = inverse;
    stop.work(3 * k);
    for (std::size_t i = k; i-- > 0;) {
        const FieldElement inverse_i = field_mul(remaining, prefix[i]);
        remaining = field_mul(remaining, denominators[i]);
        weights[i] = field_mul(weights[i], inverse_i);
    }
    return {};
}

}  // namespace

Result<SecretBytes> shamir_combine(std::span<const std::string_view> shares, std::uint64_t k) {
    // k is checked before the share count, the opposite of the Blakley combine: both orders are
    // part of what callers see, so keep them.
    if (k < 2) return SharingError{"Invalid k: threshold must be at least 2"};
    if (shares.size() < k) return SharingError{"Need at least " + to_decimal(k) + " shares"};

    const std::size_t count = static_cast<std::size_t>(k);
    // Small thresholds, the common case, keep the shares and the weights on the stack.
    StackStorage<ShamirShare, few_shares> few_parsed;
    std::vector<ShamirShare> many_parsed(count > few_shares ? count : 0);
    const std::span<ShamirShare> parsed(count > few_shares ? many_parsed.data() : few_parsed.data(),
                                        count);
    // The share values are secret.
    const WipeAtExit wipe_parsed(parsed);
    StopCheck stop;
    for (std::size_t i = 0; i < count; ++i) {
        // Reading a share, and comparing its index with the earlier ones.
        stop.work(chunk_count * parse_work + i / 4);
        Result<ShamirShareHead> head = parse_shamir_share_head(shares[i]);
        if (!head) return std::move(head).error();
        for (std::size_t j = 0; j < i; ++j) {
            if (parsed[j].index == head->index) {
                return SharingError{"Duplicate share index " + to_decimal(head->index)};
            }
        }
        if (Result<void> values = parse_shamir_share_values(*head, parsed[i]); !values) {
            return std::move(values).error();
        }
    }

    StackStorage<FieldElement, 3 * few_shares> few_work;
    std::vector<FieldElement> many_work(count > few_shares ? 3 * count : 0);
    FieldElement* const work = count > few_shares ? many_work.data() : few_work.data();
    if (Result<void> computed = lagrange_weights_at_zero(parsed, work); !computed) {
        return std::move(computed).error();
    }

    SecretChunks rebuilt;
    stop.work(chunk_count * count);
    for (std::size_t c = 0; c < chunk_count; ++c) {
        // Partial sums stay at most 2^127 and are reduced once.
        uint128 sum = 0;
        for (std::size_t i = 0; i < count; ++i) {
            sum = field_mul_add_lazy(work[i].value, parsed[i].values[c].value, sum);
        }
        rebuilt[c] = field_canonical(sum);
    }
    SecretBytes secret;
    chunks_to_secret(rebuilt.chunks, secret);
    return secret;
}

}  // namespace varnhold
