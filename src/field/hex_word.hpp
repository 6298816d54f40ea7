#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace varnhold {

// Eight hexadecimal digits in the bytes of one 64-bit word, the first digit most significant.
// Share values and checks are secret, so neither direction looks digits up in a table or
// branches on them: every byte is handled by arithmetic whose carries never cross from one byte
// into the next.
namespace hex_word {

constexpr std::uint64_t every_byte(std::uint8_t b) noexcept { return 0x0101010101010101ULL * b; }
constexpr std::uint64_t byte_tops = every_byte(0x80);

// Bytes of x (each below 0x80) that are at least `bound`, as their top bit: setting the top bit
// first keeps every byte's subtraction from borrowing out of it.
constexpr std::uint64_t bytes_at_least(std::uint64_t x, std::uint8_t bound) noexcept {
    return ((x | byte_tops) - every_byte(bound)) & byte_tops;
}

inline std::uint64_t load(const char* text) noexcept {
    std::uint64_t word = 0;
    std::memcpy(&word, text, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

}  // namespace hex_word

// The eight nibbles of v as eight lowercase digits at out: each nibble spread into a byte of its
// own, then 0x30 added, and 0x27 more ('a' - '0' - 10) where the nibble is 10 or more, which is
// exactly where it reaches bit 4 when 6 is added.
inline void write_hex_word(std::uint32_t v, char* out) noexcept {
    using hex_word::every_byte;
    std::uint64_t x = v;
    x = (x | (x << 16)) & 0x0000ffff0000ffffULL;
    x = (x | (x << 8)) & 0x00ff00ff00ff00ffULL;
    x = (x | (x << 4)) & every_byte(0x0f);
    // Byte i holds nibble i counting from the least significant; the text starts with the most
    // significant.
    x = __builtin_bswap64(x);
    const std::uint64_t letters = ((x + every_byte(0x06)) >> 4) & every_byte(0x01);
    x += every_byte(0x30) + letters * 0x27;
    if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
    std::memcpy(out, &x, sizeof x);
}

enum class HexCase { either, lower };

// Reads eight digit characters at text. Bytes that are not digits (of either case, or lowercase
// only) leave their top bit in `invalid`; their nibble is meaningless then.
template <HexCase accepted>
inline std::uint32_t read_hex_word(const char* text, std::uint64_t& invalid) noexcept {
    using hex_word::byte_tops;
    using hex_word::bytes_at_least;
    using hex_word::every_byte;
    const std::uint64_t word = hex_word::load(text);
    const std::uint64_t ascii = word & ~byte_tops;
    const std::uint64_t decimal =
        bytes_at_least(ascii, '0') & ~bytes_at_least(ascii, '9' + 1) & byte_tops;
    // Setting bit 5 maps 'A'..'F' onto 'a'..'f'; the decimal test above used the unchanged byte.
    const std::uint64_t letters = accepted == HexCase::either ? ascii | every_byte(0x20) : ascii;
    const std::uint64_t letter =
        bytes_at_least(letters, 'a') & ~bytes_at_least(letters, 'f' + 1) & byte_tops;
    invalid |= (word & byte_tops) | (~(decimal | letter) & byte_tops);
    // '0'..'9' carry their value in the low nibble, 'a'..'f' and 'A'..'F' their value minus 9.
    std::uint64_t nibbles = (ascii & every_byte(0x0f)) + (letter >> 7) * 9;
    // Back to one nibble a byte, least significant first, then packed pairwise.
    nibbles = __builtin_bswap64(nibbles) & every_byte(0x0f);
    nibbles = (nibbles | (nibbles >> 4)) & 0x00ff00ff00ff00ffULL;
    nibbles = (nibbles | (nibbles >> 8)) & 0x0000ffff0000ffffULL;
    nibbles = (nibbles | (nibbles >> 16)) & 0x00000000ffffffffULL;
    return static_cast<std::uint32_t>(nibbles);
}

// A 64-bit word as sixteen lowercase digits, and back (the set id of an envelope): two words of
// eight digits each, the more significant first.
inline void write_hex_u64(std::uint64_t v, char* out) noexcept {
    write_hex_word(static_cast<std::uint32_t>(v >> 32), out);
    write_hex_word(static_cast<std::uint32_t>(v), out + 8);
}

template <HexCase accepted>
inline std::uint64_t read_hex_u64(const char* text, std::uint64_t& invalid) noexcept {
    const std::uint64_t high = read_hex_word<accepted>(text, invalid);
    return high << 32 | read_hex_word<accepted>(text + 8, invalid);
}

}  // namespace varnhold
