#include <array>
#include <span>
#include <vector>

#include "common/decimal.hpp"
#include "common/small_vector.hpp"
#include "common/stop_check.hpp"
#include "field/chunks.hpp"
#include "shamir/lagrange.hpp"
#include "shamir/shamir.hpp"
#include "shamir/shamir_share.hpp"

namespace varnhold {
namespace {

// Up to this many shares are combined without a heap allocation.
constexpr std::size_t few_shares = 8;

constexpr const char* zero_denominator_message =
    "Zero denominator in GF(p): invalid or duplicate share";

}  // namespace

Result<SecretBytes> shamir_combine(std::span<const std::string_view> shares, std::uint64_t k) {
    // k is checked before the share count, the opposite of the Blakley combine: both orders are
    // part of what callers see, so keep them.
    if (k < 2) return SharingError{"Invalid k: threshold must be at least 2"};
    if (shares.size() < k) return SharingError{"Need at least " + to_decimal(k) + " shares"};

    const std::size_t count = static_cast<std::size_t>(k);
    // Small thresholds, the common case, keep the shares and the weights on the stack.
    ScratchBuffer<ShamirShare, few_shares> parsed_room(count);
    const std::span<ShamirShare> parsed = parsed_room.span();
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

    ScratchBuffer<uint128, few_shares> indices(count);
    for (std::size_t i = 0; i < count; ++i) indices[i] = parsed[i].index;
    ScratchBuffer<FieldElement, 3 * few_shares> work(3 * count);
    // Differences of distinct indices below p are never 0; should the product of the
    // denominators still be, the combine fails instead of returning some other secret.
    if (!lagrange_weights_at_zero(indices.span(), work.data())) {
        return SharingError{zero_denominator_message};
    }

    SecretChunks rebuilt;
    stop.work(chunk_count * count);
    for (std::size_t c = 0; c < chunk_count; ++c) {
        // Partial sums stay at most 2^127 and are reduced once.
        LooseElement sum;
        for (std::size_t i = 0; i < count; ++i) {
            sum = field_mul_add_lazy(work[i], parsed[i].values[c], sum);
        }
        rebuilt[c] = field_canonical(sum);
    }
    SecretBytes secret;
    chunks_to_secret(rebuilt.chunks, secret);
    return secret;
}

}  // namespace varnhold
