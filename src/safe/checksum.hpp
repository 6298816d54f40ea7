#pragma once

#include <cstdint>
#include <string_view>

namespace varnhold {

// The check of an envelope: the CRC-32 of the text (reflected polynomial 0xEDB88320, register
// starting at and finally xored with 0xFFFFFFFF) and the sum of its bytes modulo 251. The CRC
// catches every error confined to 32 consecutive bits (so every substitution and every swap of
// two neighbours) and lets a random corruption through with probability 2^-32; the sum changes
// by the byte's value, 1 to 127, whenever a character is inserted or removed, which the CRC alone
// cannot promise. No table is indexed by the text: share texts are secret.
struct EnvelopeCheck {
    std::uint32_t crc = 0;
    std::uint8_t sum = 0;
    friend constexpr bool operator==(EnvelopeCheck, EnvelopeCheck) = default;
};

EnvelopeCheck envelope_check(std::string_view text) noexcept;

// Ten lowercase hexadecimal digits: the CRC (8), then the sum (2).
inline constexpr std::size_t envelope_check_length = 10;
void write_envelope_check(EnvelopeCheck check, char* out) noexcept;

}  // namespace varnhold
