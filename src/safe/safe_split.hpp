#pragma once

#include <cstdint>
#include <string_view>

#include "common/result.hpp"
#include "common/share_writer.hpp"
#include "random/byte_source.hpp"
#include "safe/envelope.hpp"

namespace varnhold {

// The split of the scheme, each share wrapped in an envelope under one fresh set id. Validation
// and messages are the scheme's own; all random bytes (set id first, then the split's draws in
// the split's order) come in one request to `random`.
Result<void> safe_split(Scheme scheme, std::string_view secret, std::uint64_t k, std::uint64_t n,
                        ByteSource& random, ShareWriter& out);

}  // namespace varnhold
