#include "safe/set_choice.hpp"

#include <map>
#include <tuple>
#include <utility>

#include "common/decimal.hpp"

namespace varnhold {
namespace {

using SetKey = std::tuple<int, std::uint64_t, std::uint64_t, int>;

// The largest group of envelopes, the earliest on a tie; nothing when there is no envelope.
std::optional<SetKey> most_voted_set(std::span<const std::optional<ShareCandidate>> candidates) {
    std::map<SetKey, std::pair<std::size_t, std::size_t>> groups;  // key -> (count, first position)
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (!candidates[i] || !candidates[i]->envelope) continue;
        const EnvelopeHeader& h = candidates[i]->envelope->header;
        auto [entry, fresh] =
            groups.try_emplace(SetKey{static_cast<int>(h.scheme), h.k, h.set_id, h.version},
                               std::pair<std::size_t, std::size_t>{0, i});
        ++entry->second.first;
    }
    std::optional<SetKey> chosen;
    std::size_t best_count = 0, best_first = 0;
    for (const auto& [key, stats] : groups) {
        if (stats.first > best_count || (stats.first == best_count && stats.second < best_first)) {
            chosen = key;
            best_count = stats.first;
            best_first = stats.second;
        }
    }
    return chosen;
}

}  // namespace

bool choose_set(std::span<const std::optional<ShareCandidate>> candidates, std::uint64_t k_given,
                SetReport& report) {
    if (const std::optional<SetKey> chosen = most_voted_set(candidates)) {
        report.scheme = static_cast<Scheme>(std::get<0>(*chosen));
        report.k = std::get<1>(*chosen);
        report.set_id = std::get<2>(*chosen);
        report.version = static_cast<std::uint8_t>(std::get<3>(*chosen));
        report.envelopes = true;
        if (k_given != 0 && k_given != report.k) {
            report.problem =
                "k = " + to_decimal(k_given) +
                " was given, but the shares were made with k = " + to_decimal(report.k);
        }
        return true;
    }
    std::size_t bare_votes[2] = {0, 0};
    for (const std::optional<ShareCandidate>& candidate : candidates) {
        if (candidate) ++bare_votes[static_cast<int>(scheme_by_shape(candidate->bare))];
    }
    if (bare_votes[0] + bare_votes[1] == 0) {
        report.problem = "no readable share was given";
        return false;
    }
    report.scheme = bare_votes[1] > bare_votes[0] ? Scheme::blakley : Scheme::shamir;
    report.k = k_given;
    if (k_given == 0) report.problem = "bare shares can only be read when k is given";
    return true;
}

}  // namespace varnhold
