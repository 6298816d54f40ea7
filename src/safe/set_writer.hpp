#pragma once

#include <cstdint>
#include <span>

#include "common/share_writer.hpp"
#include "common/wipe.hpp"
#include "random/byte_source.hpp"
#include "safe/envelope.hpp"

namespace varnhold {

// The numbers a new set's shares get: 1 .. count, or, when `listed` is not empty, those (each at
// least 1; below p for Shamir and below 2^64 for Blakley), in that order.
struct ShareNumbers {
    std::uint64_t count = 0;
    std::span<const uint128> listed;
};

// Writes a fresh set of envelope version 2 that shares `secret`: one request to `random` for the
// set id, the key R and the random parts of the six values, in that order (docs/share-format.md,
// "What a split draws"); the tag computed from R and the secret; each share's six values and its
// envelope, in order, to `out`. The caller has validated k and the numbers; the memory the output
// needs is checked before anything is drawn.
void write_version_2_set(Scheme scheme, const SecretBytes& secret, std::uint64_t k,
                         ShareNumbers numbers, ByteSource& random, ShareWriter& out);

}  // namespace varnhold
