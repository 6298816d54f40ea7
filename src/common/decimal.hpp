#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "common/uint128.hpp"

namespace varnhold {

// Plain unsigned decimal: no sign, no leading zeros, no grouping. Writes at most 39 characters
// and returns the number written.
std::size_t write_decimal(uint128 value, char* out) noexcept;

std::string to_decimal(uint128 value);

// Adds one to the decimal number in digits[0 .. length), carried from the right; 9..9 becomes
// 10..0, one digit longer, so digits needs room for one more. For counters of public numbers
// (share indices) written in place.
inline void increment_decimal(char* digits, std::size_t& length) noexcept {
    std::size_t digit = length;
    while (digit > 0 && digits[digit - 1] == '9') digits[--digit] = '0';
    if (digit > 0) {
        ++digits[digit - 1];
    } else {
        digits[0] = '1';
        digits[length++] = '0';
    }
}

// The value of a nonempty run of decimal digits (leading zeros allowed, nothing else); nothing
// when any character is not a digit, the text is empty or the number is 2^128 or more.
std::optional<uint128> parse_decimal(std::string_view digits) noexcept;

}  // namespace varnhold
