#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "safe/set_report.hpp"
#include "safe/share_texts.hpp"

namespace varnhold {

// Decides which set the candidates are read as, into report's scheme, k, set id and envelopes
// (or its problem). Envelopes vote for their set, and the largest group (the earliest on a tie)
// is the set; without any envelope, bare shares vote for a scheme by their shape and k is the one
// given (0 when none). Returns false when no set can be read at all.
bool choose_set(std::span<const std::optional<ShareCandidate>> candidates, std::uint64_t k_given,
                SetReport& report);

}  // namespace varnhold
