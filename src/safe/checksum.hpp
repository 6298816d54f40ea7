#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace varnhold {

// The check of an envelope, two parts:
// - hash: the text read as 8-byte little-endian blocks (the last one padded with zero bytes),
//   taken as the digits of a number in base envelope_hash_base modulo the prime 2^32 - 5
//   (Horner's rule from the first block). A changed byte changes one block by d 2^(8t) and a swap
//   of neighbours by d 255 2^(8t), or, across two blocks, the hash by d r^j (2^56 r - 1): none of
//   these is a multiple of the prime, so every substitution and every neighbour swap is caught.
// - sum: the sum of the bytes modulo 251, which an inserted or removed printable byte (33 to 126)
//   always changes.
// Beyond those it has a blind spot: 2^32 = 5 modulo the prime, so two neighbour swaps four places
// apart in one block whose differences are in the ratio -5 pass both; envelope version 2 has a
// check without it (text_check.hpp). Every byte is handled with the same operations: no table is
// indexed by the text and no branch depends on it, because share texts are secret.
struct EnvelopeCheck {
    std::uint32_t hash = 0;
    std::uint8_t sum = 0;
    friend constexpr bool operator==(EnvelopeCheck, EnvelopeCheck) = default;
};

inline constexpr std::uint64_t envelope_hash_modulus = 0xFFFFFFFBu;  // 2^32 - 5, a prime
inline constexpr std::uint64_t envelope_hash_base = 0x6C8E9CF5u;

EnvelopeCheck envelope_check(std::string_view text) noexcept;

// Ten lowercase hexadecimal digits: the hash (8), then the sum (2).
inline constexpr std::size_t envelope_check_length = 10;
void write_envelope_check(EnvelopeCheck check, char* out) noexcept;

// Reads the ten digits back; false when they are not ten lowercase hexadecimal digits. The
// digits are examined without a branch on their values (they are derived from a secret text).
bool read_envelope_check(std::string_view digits, EnvelopeCheck& out) noexcept;

}  // namespace varnhold
