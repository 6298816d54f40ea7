#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/memory_limit.hpp"
#include "common/result.hpp"
#include "field/chunks.hpp"
#include "field/field.hpp"
#include "field/field_hex.hpp"

namespace varnhold {

// One parsed share: the coefficients of a hyperplane, common to the equations of all four chunks,
// and the constant term of each chunk's equation.
struct BlakleyShare {
    std::vector<FieldElement> coefficients;
    std::array<FieldElement, chunk_count> constants{};
};

// The text length of a share with k coefficients, 33k + 131: k elements and k - 1 commas, then a
// colon and an element per chunk. Saturates at UINT64_MAX instead of wrapping.
constexpr std::uint64_t blakley_share_length(std::uint64_t k) noexcept {
    return saturating_add(saturating_mul(k, field_hex_length + 1),
                          chunk_count * (field_hex_length + 1) - 1);
}

// Writes the share text, "a0,a1,...:c0:c1:c2:c3" in lowercase hexadecimal, to
// out[0 .. blakley_share_length(coefficients.size())) and returns that length. Allocates nothing.
std::size_t write_blakley_share(std::span<const FieldElement> coefficients,
                                const std::array<FieldElement, chunk_count>& constants,
                                char* out) noexcept;

// Parses the text of a share made with threshold k. `index` is the share's position in the
// caller's list and appears only in messages.
Result<BlakleyShare> parse_blakley_share(std::string_view text, std::uint64_t index,
                                         std::uint64_t k);

// The same checks in the same order, storing into the caller's memory: `coefficients` must hold
// exactly k entries. Nothing is stored past them, even while a longer list is still being read
// for its error message.
Result<void> parse_blakley_share_into(std::string_view text, std::uint64_t index, std::uint64_t k,
                                      std::span<FieldElement> coefficients,
                                      std::span<FieldElement, chunk_count> constants);

}  // namespace varnhold
