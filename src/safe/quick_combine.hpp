#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "common/wipe.hpp"

namespace varnhold {

// The common combine, without a report: at most quick_combine_limit envelopes, exactly k of them,
// all of one set, readable and distinct, that rebuild a genuine secret. True with the secret in
// `out`; false for anything else, which the caller then reads in full (ShareSet), getting the
// same secret or the report that names the problem. `k_given` is 0 when the caller gave none.
inline constexpr std::size_t quick_combine_limit = 8;
bool quick_combine(std::span<const std::string_view> texts, std::uint64_t k_given,
                   SecretBytes& out);

}  // namespace varnhold
