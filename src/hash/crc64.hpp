#pragma once

#include <cstdint>
#include <string_view>

namespace varnhold {

// CRC-64/XZ: the ECMA-182 polynomial
//   P = x^64 + x^62 + x^57 + x^55 + x^54 + x^53 + x^52 + x^47 + x^46 + x^45 + x^40 + x^39 +
//       x^38 + x^37 + x^35 + x^33 + x^32 + x^31 + x^29 + x^27 + x^24 + x^23 + x^22 + x^21 +
//       x^19 + x^17 + x^13 + x^12 + x^10 + x^9 + x^7 + x^4 + x + 1   (0x42F0E1EBA9EA3693),
// bits taken least significant first, register started at all ones and complemented at the end.
// The CRC of "123456789" is 0x995DC9BBDF1939FA. Because P has degree 64 and a constant term,
// no nonzero error confined to 64 consecutive bits is a multiple of it: every such burst changes
// the CRC.
//
// Texts are secret, so every byte goes through the same operations: no table is indexed by a
// byte and no branch depends on one; only the length (public) decides the loops.
inline constexpr std::uint64_t crc64_polynomial = 0x42F0E1EBA9EA3693ULL;
inline constexpr std::uint64_t crc64_reflected_polynomial = 0xC96C5795D7870F42ULL;

// The path this processor runs: carry-less multiplication where it has PCLMULQDQ, chosen once.
std::uint64_t crc64(std::string_view data) noexcept;

// The portable path: each byte folded into the register by eight masked exclusive ors.
std::uint64_t crc64_portable(std::string_view data) noexcept;

// Whether this processor can run crc64_clmul (always false off x86-64).
bool crc64_clmul_available() noexcept;

#if defined(__x86_64__)
// The carry-less multiplication path: sixteen bytes a turn folded into a 128-bit remainder, then
// one Barrett reduction. Call it only when crc64_clmul_available().
std::uint64_t crc64_clmul(std::string_view data) noexcept;
#endif

}  // namespace varnhold
