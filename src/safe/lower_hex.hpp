#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace varnhold {

// Eight lowercase hexadecimal digits at `text` (the first most significant) as a number, without a
// table or a branch on the bytes: every byte's class is worked out in its own lane of one word.
// Sets bits of `invalid` when any byte is not one of 0-9 a-f.
inline std::uint32_t read_lower_hex8(const char* text, std::uint64_t& invalid) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101u;
    constexpr std::uint64_t tops = ones * 0x80;
    std::uint64_t w;
    std::memcpy(&w, text, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    // For bytes below 0x80 each sum stays in its byte and has its top bit set exactly when the
    // byte is at least '0', ':', 'a' and 'g' in turn. A byte of 0x80 or more is invalid as such,
    // whatever its carries do to the other lanes.
    const std::uint64_t from_0 = w + ones * (0x80 - '0');
    const std::uint64_t past_9 = w + ones * (0x80 - ':');
    const std::uint64_t from_a = w + ones * (0x80 - 'a');
    const std::uint64_t past_f = w + ones * (0x80 - 'g');
    const std::uint64_t letter = from_a & ~past_f & tops;
    const std::uint64_t valid = ((from_0 & ~past_9) | letter) & ~w & tops;
    invalid |= valid ^ tops;
    // '0' to '9' and 'a' to 'f' end in 0 to 9 and 1 to 6: letters gain 9.
    std::uint64_t v = (w & ones * 0x0F) + 9 * (letter >> 7);
    // Byte i holds digit i; the first digit becomes the top nibble.
    v = __builtin_bswap64(v);
    v = (v | v >> 4) & 0x00FF00FF00FF00FFu;
    v = (v | v >> 8) & 0x0000FFFF0000FFFFu;
    v = (v | v >> 16) & 0x00000000FFFFFFFFu;
    return static_cast<std::uint32_t>(v);
}

}  // namespace varnhold
