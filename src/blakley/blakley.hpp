#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "common/result.hpp"
#include "common/share_writer.hpp"
#include "common/wipe.hpp"
#include "random/byte_source.hpp"

namespace varnhold {

// Cuts a 32-byte secret into n hyperplane shares, any k of which rebuild it. Each chunk of the
// secret is coordinate 0 of a point whose other k - 1 coordinates are random; a share is one
// random hyperplane through all four points. Throws std::bad_alloc at once when the output could
// never be held, and whatever `random` throws.
Result<void> blakley_split(std::string_view secret, std::uint64_t k, std::uint64_t n,
                           ByteSource& random, ShareWriter& out);

// Rebuilds the secret from the first k share texts; later entries are not looked at. Throws
// std::bad_alloc when the k-by-k system of a share list could never be held.
Result<SecretBytes> blakley_combine(std::span<const std::string_view> shares, std::uint64_t k);

}  // namespace varnhold
