#include "shamir/chunks.hpp"

namespace varnhold {

SecretChunks secret_to_chunks(std::string_view secret) {
    SecretChunks result;
    for (std::size_t c = 0; c < chunk_count; ++c) {
        std::uint64_t chunk = 0;
        for (std::size_t b = 0; b < 8; ++b) {
            chunk = (chunk << 8) | static_cast<unsigned char>(secret[8 * c + b]);
        }
        result[c] = FieldElement{chunk};
    }
    return result;
}

void chunks_to_secret(const std::array<FieldElement, chunk_count>& chunks, SecretBytes& out) {
    for (std::size_t c = 0; c < chunk_count; ++c) {
        std::uint64_t chunk = chunks[c].low();
        for (std::size_t b = 8; b-- > 0;) {
            out.bytes[8 * c + b] = static_cast<std::uint8_t>(chunk);
            chunk >>= 8;
        }
    }
}

}  // namespace varnhold
