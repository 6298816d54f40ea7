#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "common/result.hpp"
#include "common/share_writer.hpp"
#include "common/wipe.hpp"
#include "random/byte_source.hpp"

namespace varnhold {

// Cuts a 32-byte secret into n share texts, any k of which rebuild it, and hands them to `out`
// in index order 1..n.
Result<void> shamir_split(std::string_view secret, std::uint64_t k, std::uint64_t n,
                          ByteSource& random, ShareWriter& out);

// Rebuilds the secret from the first k share texts; later entries are never parsed.
Result<SecretBytes> shamir_combine(std::span<const std::string_view> shares, std::uint64_t k);

}  // namespace varnhold
