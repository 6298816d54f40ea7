#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "field/field.hpp"

namespace varnhold {

// Plain unsigned decimal: no sign, no leading zeros, no grouping. Writes at most 39 characters
// and returns the number written.
std::size_t write_decimal(uint128 value, char* out) noexcept;

std::string to_decimal(uint128 value);

// The value of a nonempty run of decimal digits (leading zeros allowed, nothing else); nothing
// when any character is not a digit, the text is empty or the number is 2^128 or more.
std::optional<uint128> parse_decimal(std::string_view digits) noexcept;

}  // namespace varnhold
