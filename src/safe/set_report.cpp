#include "safe/set_report.hpp"

#include <algorithm>

namespace varnhold {

const char* share_state_name(ShareState state) noexcept {
    switch (state) {
        case ShareState::good:
            return "good";
        case ShareState::wrong:
            return "wrong";
        case ShareState::unreadable:
            return "unreadable";
        case ShareState::duplicate:
            return "duplicate";
        case ShareState::foreign:
            return "foreign";
    }
    return "unreadable";
}

bool SetReport::usable() const noexcept {
    if (!problem.empty() || !scheme) return false;
    return std::all_of(shares.begin(), shares.end(), [](const ShareStatus& s) {
        return s.state == ShareState::good || s.state == ShareState::duplicate;
    });
}

}  // namespace varnhold
