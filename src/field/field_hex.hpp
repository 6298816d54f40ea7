#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "field/field.hpp"

namespace varnhold {

inline constexpr std::size_t field_hex_length = 32;

// Writes the 32 lowercase, zero-padded hexadecimal digits of v to out[0..31].
void write_field_hex(FieldElement v, char* out) noexcept;

std::string format_field_hex(FieldElement v);

// Reads exactly 32 hexadecimal digits of either case (the length counted in bytes). The label
// names the value in the two failure messages.
Result<FieldElement> parse_field_hex(std::string_view text, std::string_view label);

// Reads `count` texts of 32 hexadecimal digits into values, gathering every digit's validity and
// every "below p" without a branch, and reports whether all of them are valid values. When not,
// the values are meaningless and parse_field_hex gives each one's exact error.
bool read_field_hex_values(const std::string_view* texts, std::size_t count,
                           FieldElement* values) noexcept;

// The same for `count` values of 32 digits each starting `stride` bytes apart from `first`.
bool read_field_hex_strided(const char* first, std::size_t stride, std::size_t count,
                            FieldElement* values) noexcept;

// The same codec computed in 64-bit words only. The two functions above use it where the target
// has no vector unit; tests hold the two engines against each other.
void write_field_hex_words(FieldElement v, char* out) noexcept;
Result<FieldElement> parse_field_hex_words(std::string_view text, std::string_view label);

}  // namespace varnhold
