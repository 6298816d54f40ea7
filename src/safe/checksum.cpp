#include "safe/checksum.hpp"

namespace varnhold {

EnvelopeCheck envelope_check(std::string_view text) noexcept {
    std::uint32_t crc = 0xFFFFFFFFu;
    std::uint32_t sum = 0;
    for (const char c : text) {
        const auto byte = static_cast<std::uint8_t>(c);
        sum += byte;
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            // The mask replaces a branch on the text's bits.
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return EnvelopeCheck{crc ^ 0xFFFFFFFFu, static_cast<std::uint8_t>(sum % 251u)};
}

void write_envelope_check(EnvelopeCheck check, char* out) noexcept {
    constexpr char digits[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) out[i] = digits[(check.crc >> (28 - 4 * i)) & 0xFu];
    out[8] = digits[check.sum >> 4];
    out[9] = digits[check.sum & 0xFu];
}

}  // namespace varnhold
