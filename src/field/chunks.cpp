#include "field/chunks.hpp"

#include "common/decimal.hpp"

namespace varnhold {

Result<void> check_split_arguments(std::string_view secret, std::uint64_t k, std::uint64_t n,
                                   const char* invalid_k_n) {
    if (secret.size() != secret_length) return SharingError{"Secret must be 32 bytes"};
    if (k < 2 || n < k) return SharingError{invalid_k_n};
    if (n > max_shares) return SharingError{"Invalid n: must be <= " + to_decimal(max_shares)};
    return {};
}

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
