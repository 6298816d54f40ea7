#pragma once

#include <cstddef>
#include <cstdint>
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

// The digits '0'..'9' at the start of a text: how many there are and their value, exact unless
// `overflow` (the number is 2^128 or more). The first 19 digits are summed in a word.
struct DecimalPrefix {
    uint128 value = 0;
    std::size_t length = 0;
    bool overflow = false;
};

constexpr DecimalPrefix read_decimal_prefix(std::string_view text) noexcept {
    DecimalPrefix read;
    std::uint64_t word = 0;
    const std::size_t word_digits = text.size() < 19 ? text.size() : 19;
    for (; read.length < word_digits; ++read.length) {
        const auto digit = static_cast<unsigned char>(text[read.length] - '0');
        if (digit > 9) break;
        word = word * 10 + digit;
    }
    read.value = word;
    if (read.length < 19) return read;
    constexpr uint128 most_before_digit = ~uint128{0} / 10;
    for (; read.length < text.size(); ++read.length) {
        const auto digit = static_cast<unsigned char>(text[read.length] - '0');
        if (digit > 9) break;
        if (read.value > most_before_digit) read.overflow = true;
        const uint128 tens = read.value * 10;
        read.value = tens + digit;
        if (read.value < tens) read.overflow = true;
    }
    return read;
}

// The value of a nonempty run of decimal digits (leading zeros allowed, nothing else); nothing
// when any character is not a digit, the text is empty or the number is 2^128 or more.
std::optional<uint128> parse_decimal(std::string_view digits) noexcept;

}  // namespace varnhold
