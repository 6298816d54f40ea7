#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "blakley/blakley.hpp"
#include "blakley/blakley_share.hpp"
#include "blakley/linear_solver.hpp"
#include "common/decimal.hpp"
#include "common/memory_limit.hpp"
#include "common/small_vector.hpp"
#include "common/stop_check.hpp"
#include "field/chunks.hpp"

namespace varnhold {
namespace {

// Marks every share among the first n whose text already appeared at a lower position. The same
// buffer given again (a list holding one object many times) is recognised by its address alone,
// so a text is compared with others only once per distinct buffer: the work stays proportional
// to the text the caller really holds, however often it is repeated.
void find_repeated_texts(std::span<const std::string_view> shares, std::size_t n, bool* repeated) {
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto same_buffer = [&](std::size_t a, std::size_t b) {
        return shares[a].data() == shares[b].data() && shares[a].size() == shares[b].size();
    };
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const auto key_a =
            std::pair(reinterpret_cast<std::uintptr_t>(shares[a].data()), shares[a].size());
        const auto key_b =
            std::pair(reinterpret_cast<std::uintptr_t>(shares[b].data()), shares[b].size());
        return key_a != key_b ? key_a < key_b : a < b;
    });
    // One position per distinct buffer, the lowest of its group.
    std::vector<std::size_t> firsts;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && same_buffer(order[i - 1], order[i])) {
            repeated[order[i]] = true;
        } else {
            firsts.push_back(order[i]);
        }
    }
    order = {};
    std::sort(firsts.begin(), firsts.end(), [&](std::size_t a, std::size_t b) {
        const int by_text = shares[a].compare(shares[b]);
        return by_text != 0 ? by_text < 0 : a < b;
    });
    for (std::size_t i = 1; i < firsts.size(); ++i) {
        if (shares[firsts[i - 1]] == shares[firsts[i]]) repeated[firsts[i]] = true;
    }
}

// Thresholds up to this size keep their bookkeeping and their system on the stack, and find
// repeated texts by comparing every pair: each text is compared with at most this many others.
constexpr std::size_t small_threshold = 8;

void find_repeated_texts_small(std::span<const std::string_view> shares, std::size_t n,
                               bool* repeated) {
    for (std::size_t i = 1; i < n; ++i) {
        for (std::size_t j = 0; j < i && !repeated[i]; ++j) repeated[i] = shares[i] == shares[j];
    }
}

// Every one of the first k shares is known to parse before the k-by-k system is allocated.
// A valid share of threshold k is exactly blakley_share_length(k) characters long, so k distinct
// texts of that length are at least 33k^2 bytes the caller already holds, more than the system
// itself. Anything else (a repeated text, a text of another length) is parsed into one scratch
// row: a parse error decides the message as it would in the system, and repeated rows without
// one make the system singular, which is certain before any elimination.
std::optional<SharingError> check_before_allocating(std::span<const std::string_view> shares,
                                                    std::uint64_t k, StopCheck& stop) {
    const auto count = static_cast<std::size_t>(k);
    const std::size_t width = count + chunk_count;
    const bool small = count <= small_threshold;
    ScratchBuffer<bool, small_threshold> repeated_room(count);
    bool* const repeated = repeated_room.data();
    std::fill(repeated, repeated + count, false);
    if (small) {
        find_repeated_texts_small(shares, count, repeated);
    } else {
        find_repeated_texts(shares, count, repeated);
    }
    const std::uint64_t valid_length = blakley_share_length(k);
    const bool any_repeated = std::find(repeated, repeated + count, true) != repeated + count;
    const bool all_full_length =
        std::all_of(shares.begin(), shares.begin() + count,
                    [&](std::string_view s) { return s.size() == valid_length; });
    if (any_repeated || !all_full_length) {
        std::vector<FieldElement> scratch(width);
        const WipeAtExit wipe_scratch(scratch);
        const std::span<FieldElement> row(scratch);
        for (std::size_t i = 0; i < count; ++i) {
            // A repeated text parses exactly as its first appearance did.
            if (repeated[i]) continue;
            stop.work(shares[i].size() / (field_hex_length + 1) * parse_work + parse_work);
            const Result<void> parsed = parse_blakley_share_into(
                shares[i], i, k, row.subspan(chunk_count), row.first<chunk_count>());
            if (!parsed) return parsed.error();
        }
        if (any_repeated) return SharingError{linearly_dependent_message};
    }
    return std::nullopt;
}

}  // namespace

Result<SecretBytes> blakley_combine(std::span<const std::string_view> shares, std::uint64_t k) {
    // The share count is checked before k, the opposite of the Shamir combine: both orders are
    // part of what callers see (an empty list with k = 1 fails on the count here, on k there).
    if (shares.size() < k) {
        return SharingError{"Not enough shares: got " + to_decimal(shares.size()) + ", need " +
                            to_decimal(k)};
    }
    if (k < 2) return SharingError{"Invalid k: threshold must be at least 2"};

    // k <= shares.size(), so k + 4 cannot overflow; k * width still can, hence the saturating
    // product below.
    const auto count = static_cast<std::size_t>(k);
    const std::size_t width = count + chunk_count;

    StopCheck stop;
    if (std::optional<SharingError> refused = check_before_allocating(shares, k, stop)) {
        return std::move(*refused);
    }

    // Each row holds the four chunks' right-hand sides and then the share's coefficients, so all
    // four chunks are eliminated together.
    require_fits_in_memory(saturating_mul(saturating_mul(count, width), sizeof(FieldElement)));
    ScratchBuffer<LooseElement, small_threshold*(small_threshold + chunk_count)> rows_room(count *
                                                                                           width);
    const std::span<LooseElement> rows = rows_room.span();
    // Each share is parsed into one row of elements, then taken into the system as it is.
    ScratchBuffer<FieldElement, small_threshold + chunk_count> row_room(width);
    const std::span<FieldElement> row = row_room.span();
    // The right-hand sides are share values, and elimination mixes them into every entry.
    const WipeAtExit wipe_rows(rows);
    const WipeAtExit wipe_row(row);
    for (std::size_t i = 0; i < count; ++i) {
        stop.work(width * parse_work);
        const Result<void> parsed = parse_blakley_share_into(
            shares[i], i, k, row.subspan(chunk_count), row.first<chunk_count>());
        if (!parsed) return parsed.error();
        std::copy(row.begin(), row.end(), rows.begin() + static_cast<std::ptrdiff_t>(i * width));
    }

    const Result<std::array<FieldElement, chunk_count>> chunks =
        solve_first_coordinate(rows, count);
    if (!chunks) return chunks.error();
    SecretBytes secret;
    chunks_to_secret(*chunks, secret);
    return secret;
}

}  // namespace varnhold
