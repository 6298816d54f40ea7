#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "common/result.hpp"
#include "common/wipe.hpp"
#include "field/field.hpp"

namespace varnhold {

inline constexpr std::size_t secret_length = 32;
inline constexpr std::size_t chunk_count = 4;
// The most values one share carries: the four chunks, and in envelope version 2 a key and a tag
// shared the same way.
inline constexpr std::size_t max_share_values = 6;
inline constexpr std::uint64_t max_shares = 1048576;

// The secret as four field elements; chunk i is bytes 8i..8i+7 read big-endian. These are the
// secret itself, so they are wiped when they go out of scope.
struct SecretChunks {
    std::array<FieldElement, chunk_count> chunks{};

    SecretChunks() = default;
    SecretChunks(const SecretChunks&) = default;
    SecretChunks& operator=(const SecretChunks&) = default;
    ~SecretChunks() { secure_wipe_object(chunks); }

    FieldElement& operator[](std::size_t i) { return chunks[i]; }
    const FieldElement& operator[](std::size_t i) const { return chunks[i]; }
};

// The checks every split makes before it draws anything, in this order: the secret's length,
// then 2 <= k <= n (failing with the scheme's own `invalid_k_n` message), then n <= max_shares.
Result<void> check_split_arguments(std::string_view secret, std::uint64_t k, std::uint64_t n,
                                   const char* invalid_k_n);

// `secret` must be exactly 32 bytes (the splits check the length first).
SecretChunks secret_to_chunks(std::string_view secret);

// The low 64 bits of each element, big-endian; higher bits are dropped without a check.
void chunks_to_secret(const std::array<FieldElement, chunk_count>& chunks, SecretBytes& out);

}  // namespace varnhold
