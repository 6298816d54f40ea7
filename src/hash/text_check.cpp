#include "hash/text_check.hpp"

#include "field/hex_word.hpp"
#include "hash/crc64.hpp"

namespace varnhold {

bool all_printable_ascii(std::string_view text) noexcept {
    // A byte outside 0x21..0x7E makes one of the two differences negative, setting bit 31.
    std::uint32_t outside = 0;
    for (const char ch : text) {
        const auto byte = static_cast<std::int32_t>(static_cast<unsigned char>(ch));
        outside |= static_cast<std::uint32_t>((byte - 0x21) | (0x7E - byte));
    }
    return (outside >> 31) == 0;
}

TextCheck text_check(std::string_view text) noexcept {
    // At most 2^24 bytes of 126 before the 32-bit sum could wrap; share texts are far shorter,
    // and the sum is taken in 64 bits anyway.
    std::uint64_t sum = 0;
    for (const char ch : text) sum += static_cast<unsigned char>(ch);
    return TextCheck{crc64(text), static_cast<std::uint8_t>(sum % 251u)};
}

bool write_text_check(std::string_view text, char* out) noexcept {
    const bool printable = all_printable_ascii(text);
    const TextCheck check = text_check(text);
    write_hex_word(static_cast<std::uint32_t>(check.crc >> 32), out);
    write_hex_word(static_cast<std::uint32_t>(check.crc), out + 8);
    char sum[8];
    write_hex_word(check.sum, sum);
    out[16] = sum[6];
    out[17] = sum[7];
    return printable;
}

}  // namespace varnhold
