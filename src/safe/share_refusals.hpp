#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "common/uint128.hpp"
#include "field/field.hpp"

namespace varnhold {

// What the safe layer refuses in shares that the bare module still reads: forms no split, new
// share or refresh ever writes. Each returns the reason (never any of the share's text), or
// nothing when the share may be read on.

// A Shamir share's index as written before its first colon, and its value: the index 0 (the
// share at 0 is the secret itself), a sign or a leading zero. The index is public.
std::optional<std::string_view> refused_shamir_index(std::string_view written,
                                                     uint128 index) noexcept;

// A Blakley share's coefficients (public): a zero one, which no split draws.
std::optional<std::string_view> refused_blakley_row(std::span<const FieldElement> row) noexcept;

inline constexpr std::string_view upper_case_in_envelope =
    "has upper-case hexadecimal digits, which no envelope is written with";

inline constexpr std::string_view bare_among_envelopes =
    "is a bare share, which never joins a set of envelopes";

}  // namespace varnhold
