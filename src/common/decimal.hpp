#pragma once

#include <cstddef>
#include <string>

#include "field/field.hpp"

namespace varnhold {

// Plain unsigned decimal: no sign, no leading zeros, no grouping. Writes at most 39 characters
// and returns the number written.
std::size_t write_decimal(uint128 value, char* out) noexcept;

std::string to_decimal(uint128 value);

}  // namespace varnhold
