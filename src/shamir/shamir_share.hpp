#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "field/chunks.hpp"
#include "field/field.hpp"
#include "field/field_hex.hpp"

namespace varnhold {

struct ShamirShare {
    uint128 index = 0;  // below p; the split writes 1..n, the combine accepts any
    std::array<FieldElement, chunk_count> values{};
};

// Room for any index (39 decimal digits) and the four values.
inline constexpr std::size_t shamir_share_buffer_length = 39 + chunk_count * (1 + field_hex_length);

// Writes "{index}:{v0}:{v1}:{v2}:{v3}" to out (shamir_share_buffer_length bytes) and returns the
// text's length.
std::size_t write_shamir_share(uint128 index, const std::array<FieldElement, chunk_count>& values,
                               char* out) noexcept;

// The same after an index whose decimal digits (at most 39) are already at the start of out.
std::size_t write_shamir_share_values(std::size_t index_length,
                                      const std::array<FieldElement, chunk_count>& values,
                                      char* out) noexcept;

std::string format_shamir_share(uint128 index, const std::array<FieldElement, chunk_count>& values);

// A share text taken apart up to its index; the values are read separately, so that the combine
// can check for a duplicate index before it looks at them.
struct ShamirShareHead {
    uint128 index = 0;
    std::array<std::string_view, chunk_count> value_fields{};
};

Result<ShamirShareHead> parse_shamir_share_head(std::string_view text);
Result<void> parse_shamir_share_values(const ShamirShareHead& head, ShamirShare& share);

Result<ShamirShare> parse_shamir_share(std::string_view text);

}  // namespace varnhold
