#include <array>
#include <vector>

#include "common/decimal.hpp"
#include "shamir/chunks.hpp"
#include "shamir/shamir.hpp"
#include "shamir/shamir_share.hpp"

namespace varnhold {
namespace {

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

    // Denominators d_i = prod_{j != i} (x_i - x_j). Four rows at a time keep four independent
    // multiplication chains in flight; the factor for j = i is 0 and becomes 1 by a mask.
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
    // Running products for the batch inversion.
    FieldElement product{1};
    for (std::size_t r = 0; r < k; ++r) {
        prefix[r] = product;
        product = field_mul(product, denominators[r]);
    }

    Result<FieldElement> inverse = field_inv(product.value);
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
        FieldElement sum{};
        for (std::size_t i = 0; i < count; ++i) {
            sum = field_mul_add(work[i], parsed[i].values[c], sum);
        }
        rebuilt[c] = sum;
    }
    SecretBytes secret;
    chunks_to_secret(rebuilt.chunks, secret);
    return secret;
}

}  // namespace varnhold
