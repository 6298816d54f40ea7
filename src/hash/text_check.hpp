#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace varnhold {

// The check of a share text of envelope version 2 (docs/check-v2.md proves what it
// detects): the CRC-64 of the text (crc64.hpp) and the sum of its bytes modulo 251, written as
// eighteen lower-case hexadecimal digits, the CRC's sixteen then the sum's two. Eighteen digits
// tell it apart from the ten of version 1.
//
// The CRC detects every error confined to 64 consecutive bits (any change inside a window of
// eight characters); the sum detects every single inserted or removed printable character,
// since each is 33 to 126, never a multiple of 251. Both run the same operations for every byte.
inline constexpr std::size_t text_check_length = 18;

struct TextCheck {
    std::uint64_t crc = 0;
    std::uint8_t sum = 0;
};

// Whether every byte of text is printable ASCII other than the space (0x21 to 0x7E), found
// without a branch on any byte: the answer is the only thing that leaves.
bool all_printable_ascii(std::string_view text) noexcept;

// Writes the eighteen digits of the check of text at out and returns whether every byte of text
// is printable (0x21 to 0x7E). When it returns false the text must be refused and the digits
// are not to be used: only a printable text has the guarantees (an inserted byte of 0, or of 251
// and above, would not change the sum). The answer is returned rather than branched on here, so
// that the digits are computed the same way whatever the bytes, and the caller's one test of it
// is its own public outcome.
bool write_text_check(std::string_view text, char* out) noexcept;

// The two parts, for tests and for callers that compare them without digits; text must be
// printable (the guarantees above hold only then).
TextCheck text_check(std::string_view text) noexcept;

}  // namespace varnhold
