#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/stop_check.hpp"
#include "safe/envelope.hpp"
#include "safe/set_report.hpp"

namespace varnhold {

// A share text trimmed and, when it is an envelope, opened; the bare share is not parsed yet.
struct ShareCandidate {
    std::string_view bare;
    std::optional<OpenedEnvelope> envelope;
};

// A bare Blakley share always has a comma between its coefficients; a Shamir share never does.
Scheme scheme_by_shape(std::string_view bare) noexcept;

std::string capitalised(Scheme scheme);

// Trims every text and opens the envelopes among them. A text that is empty or an envelope that
// does not open is marked unreadable in `statuses` (one per text) and gets no candidate. The six
// values of a version 2 envelope at position i go to values[6 i .. 6 i + 5].
std::vector<std::optional<ShareCandidate>> open_share_texts(std::span<const std::string_view> texts,
                                                            std::span<ShareStatus> statuses,
                                                            std::span<FieldElement> values,
                                                            StopCheck& stop);

// Whether a candidate can be a share of the chosen set (scheme, k and set id of `report`); when
// not, its status says why.
bool fits_set(const ShareCandidate& candidate, const SetReport& report, ShareStatus& status);

}  // namespace varnhold
