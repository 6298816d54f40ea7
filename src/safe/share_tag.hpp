#pragma once

#include <cstdint>
#include <span>

#include "field/field.hpp"

namespace varnhold {

// What envelope version 2 adds to the four chunks: a key R, drawn for each split and shared like
// the chunks, and the tag T = tag(R, secret), written as it is in every share. A combine returns
// the secret only when the tag of the R and the secret it rebuilds is the T of every share it
// used. Without R, which fewer than k shares say nothing about, T says nothing about the secret;
// shares that rebuild another R or secret would need a tag of theirs to equal a genuine share's,
// which is a preimage of the keyed hash (docs/security.md). A tag that was itself shared could be
// steered with the rest by a coalition that knows k - 1 shares.

// BLAKE2s (32-byte digest) keyed with the 16 bytes of `key` written big-endian, over the 32
// bytes of the secret; digest bytes 0 to 15 read big-endian, top bit cleared, reduced modulo p.
// The key, the secret and the tag are secret: every call runs the same operations.
FieldElement secret_tag(FieldElement key, std::span<const std::uint8_t, 32> secret) noexcept;

// The node h of a version 2 Blakley share: its row is (h, h^2, .., h^k). The unkeyed BLAKE2s
// digest of "vh2 row", the set id and the number (8 bytes each, big-endian); bytes 0 to 15 read
// big-endian with the top bit cleared give u, and h = (u mod (p - 1)) + 1, never 0. Set id and
// number are public, and so is the node.
FieldElement blakley_node(std::uint64_t set_id, std::uint64_t number) noexcept;

// The nodes of several numbers of one set, nodes[i] for numbers[i]: the same values, their
// digests computed four at a time.
void blakley_nodes(std::uint64_t set_id, std::span<const std::uint64_t> numbers,
                   std::span<FieldElement> nodes);

}  // namespace varnhold
