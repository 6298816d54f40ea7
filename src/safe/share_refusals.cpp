#include "safe/share_refusals.hpp"

namespace varnhold {

std::optional<std::string_view> refused_shamir_index(std::string_view written,
                                                     uint128 index) noexcept {
    if (index == 0) return "has index 0, which no split writes: the share at 0 is the secret";
    if (written.empty() || written.front() < '1' || written.front() > '9') {
        return "has an index written with a sign or a leading zero, which no split writes";
    }
    return std::nullopt;
}

std::optional<std::string_view> refused_blakley_row(std::span<const FieldElement> row) noexcept {
    for (const FieldElement a : row) {
        if (a.value == 0) return "has a zero coefficient, which no split writes";
    }
    return std::nullopt;
}

}  // namespace varnhold
