#pragma once

#include <cstdint>
#include <string_view>

#include "common/result.hpp"
#include "common/share_writer.hpp"
#include "random/byte_source.hpp"
#include "safe/envelope.hpp"

namespace varnhold {

// A split into envelope shares of version 2 under one fresh set id (set_writer.hpp). Validation
// and its messages are the scheme's own (the bare splits'); all random bytes (set id first) come in
// one request to `random`.
Result<void> safe_split(Scheme scheme, std::string_view secret, std::uint64_t k, std::uint64_t n,
                        ByteSource& random, ShareWriter& out);

}  // namespace varnhold
