#pragma once

#include <cstdint>
#include <span>

#include "field/field.hpp"

namespace varnhold {

// What envelope version 2 adds to the four chunks: a key R, drawn for each split, and the tag
// T = tag(R, secret), both shared like the chunks. A combine returns the secret only when the T it
// rebuilds is the tag of the R and the secret it rebuilds. A coalition of fewer than k custodians
// can move the rebuilt values only by amounts that depend on shares it does not know, so it can
// make the two agree only by guessing a field element (docs/security.md).

// BLAKE2s (32-byte digest) keyed with the 16 bytes of `key` written big-endian, over the 32
// bytes of the secret; digest bytes 0 to 15 read big-endian, top bit cleared, reduced modulo p.
// The key, the secret and the tag are secret: every call runs the same operations.
FieldElement secret_tag(FieldElement key, std::span<const std::uint8_t, 32> secret) noexcept;

// The node h of a version 2 Blakley share: its row is (h, h^2, .., h^k). The unkeyed BLAKE2s
// digest of "vh2 row", the set id and the number (8 bytes each, big-endian); bytes 0 to 15 read
// big-endian with the top bit cleared give u, and h = (u mod (p - 1)) + 1, never 0. Set id and
// number are public, and so is the node.
FieldElement blakley_node(std::uint64_t set_id, std::uint64_t number) noexcept;

}  // namespace varnhold
