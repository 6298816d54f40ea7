#include <array>
#include <vector>

#include "common/decimal.hpp"
#include "shamir/chunks.hpp"
#include "shamir/shamir.hpp"
#include "shamir/shamir_share.hpp"

namespace varnhold {
namespace {

// Denominators d_i = prod_{j != i} (x_i - x_j) for any indices below p. Four rows at a time keep
// four independent multiplication chains in flight; the factor for j = i is 0 and becomes 1 by a
// mask.
void general_denominators(const std::vector<ShamirShare>& shares, FieldElement* denominators) {
    const std::size_t k = shares.size();
    std::size_t row = 0;
    for (; row + 4 <= k; row += 4) {
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
        const FieldElement xi{shares[row].index};
        FieldElement den{1};
        for (std::size_t j = 0; j < k; ++j) {
            if (j != row) den = field_mul(den, field_sub(xi, FieldElement{shares[j].index}));
        }
        denominators[row] = den;
    }
}

// One denominator from indices that all fit in a word: the differences are words too, and their
// magnitudes are multiplied as words until the next one would overflow, so a field
// multiplication is paid once per run of factors instead of once per factor. The sign is the
// parity of the number of indices above x_i.
FieldElement word_denominator(const std::uint64_t* indices, std::size_t k, std::size_t i) noexcept {
    const std::uint64_t xi = indices[i];
    FieldElement den{1};
    std::uint64_t run = 1;
    unsigned negative = 0;
    const auto take = [&](std::uint64_t xj) {
        const bool above = xj > xi;
        negative ^= static_cast<unsigned>(above);
        const std::uint64_t difference = above ? xj - xi : xi - xj;
        const uint128 product = static_cast<uint128>(run) * difference;
        if ((product >> 64) != 0) {
            den = field_mul_word(den, run);
            run = difference;
        } else {
            run = static_cast<std::uint64_t>(product);
        }
    };
    for (std::size_t j = 0; j < i; ++j) take(indices[j]);
    for (std::size_t j = i + 1; j < k; ++j) take(indices[j]);
    den = field_mul_word(den, run);
    return negative != 0 ? field_sub(FieldElement{}, den) : den;
}

// The denominators when every index is below 2^64 (indices are public, so this choice may
// depend on them); false leaves the work to general_denominators.
bool denominators_in_words(const std::vector<ShamirShare>& shares, FieldElement* denominators) {
    const std::size_t k = shares.size();
    std::vector<std::uint64_t> indices(k);
    for (std::size_t i = 0; i < k; ++i) {
        if ((shares[i].index >> 64) != 0) return false;
        indices[i] = static_cast<std::uint64_t>(shares[i].index);
    }
    for (std::size_t i = 0; i < k; ++i) denominators[i] = word_denominator(indices.data(), k, i);
    return true;
}

// The Lagrange weights at zero, w_i = prod_{j != i} (0 - x_j) / prod_{j != i} (x_i - x_j). They
// depend only on the indices, so they serve all four chunks, and a single inversion of the
// product of all denominators yields every denominator's inverse.
// `work` holds 3k elements: the weights come out in the first k, the rest is scratch.
Result<void> lagrange_weights_at_zero(const std::vector<ShamirShare>& shares,
                                      std::vector<FieldElement>& work) {
    const std::size_t k = shares.size();
    FieldElement* const weights = work.data();
    FieldElement* const prefix = weights + k;
    FieldElement* const denominators = prefix + k;

    // Numerators from prefix and suffix products of -x_j, which stays correct when an index is 0.
    FieldElement running{1};
    for (std::size_t i = 0; i < k; ++i) {
        weights[i] = running;
        running = field_mul(running, field_sub(FieldElement{}, FieldElement{shares[i].index}));
    }
    running = FieldElement{1};
    for (std::size_t i = k; i-- > 0;) {
        weights[i] = field_mul(weights[i], running);
        running = field_mul(running, field_sub(FieldElement{}, FieldElement{shares[i].index}));
    }

    if (!denominators_in_words(shares, denominators)) general_denominators(shares, denominators);
    // Running products for the batch inversion.
    FieldElement product{1};
    for (std::size_t r = 0; r < k; ++r) {
        prefix[r] = product;
        product = field_mul(product, denominators[r]);
    }

    // The product depends on the indices alone, which are public: a variable-time inverse is safe.
    Result<FieldElement> inverse = field_inv_public(product.value);
    if (!inverse) return std::move(inverse).error();
    // inverse = 1 / (d_0 ... d_i); walking down peels one denominator off at a time.
    FieldElement remaining = *inverse;
    for (std::size_t i = k; i-- > 0;) {
        const FieldElement inverse_i = field_mul(remaining, prefix[i]);
        remaining = field_mul(remaining, denominators[i]);
        weights[i] = field_mul(weights[i], inverse_i);
    }
    return {};
}

}  // namespace

Result<SecretBytes> shamir_combine(std::span<const std::string_view> shares, std::uint64_t k) {
    if (k < 2) return SharingError{"Invalid k: threshold must be at least 2"};
    if (shares.size() < k) return SharingError{"Need at least " + to_decimal(k) + " shares"};

    const std::size_t count = static_cast<std::size_t>(k);
    std::vector<ShamirShare> parsed;
    parsed.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        Result<ShamirShareHead> head = parse_shamir_share_head(shares[i]);
        if (!head) return std::move(head).error();
        for (const ShamirShare& earlier : parsed) {
            if (earlier.index == head->index) {
                return SharingError{"Duplicate share index " + to_decimal(head->index)};
            }
        }
        ShamirShare& share = parsed.emplace_back();
        if (Result<void> values = parse_shamir_share_values(*head, share); !values) {
            return std::move(values).error();
        }
    }

    std::vector<FieldElement> work(3 * count);
    if (Result<void> computed = lagrange_weights_at_zero(parsed, work); !computed) {
        return std::move(computed).error();
    }

    SecretChunks rebuilt;
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
