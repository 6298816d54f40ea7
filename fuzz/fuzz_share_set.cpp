// The verifying combine on arbitrary share lists and thresholds ("k\nshare\nshare...", k = 0 for
// none). The report must account for every text; a set called usable must give the secret that
// the plain combine rebuilds from k of its good shares, and a share made from it must join the
// set without changing the secret.

#include <algorithm>

#include "blakley/blakley.hpp"
#include "fuzz_support.hpp"
#include "safe/share_set.hpp"
#include "shamir/shamir.hpp"

using namespace varnhold;

namespace {

// The bare share inside a text the set reader accepted.
std::string_view bare_of(std::string_view text) {
    const std::string_view trimmed = trim_share_text(text);
    if (!looks_like_envelope(trimmed)) return trimmed;
    const Result<OpenedEnvelope> opened = open_envelope(trimmed);
    fuzz::check(opened.ok(), "a good share's envelope does not open", trimmed);
    return opened->bare;
}

// Large thresholds only make the combines slow; the reader's limits are reached below this.
constexpr std::uint64_t max_checked_k = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::ShareList list = fuzz::read_share_list(data, size);
    const ShareSet set(list.shares, list.k);
    const SetReport& report = set.report();
    fuzz::check(report.shares.size() == list.shares.size(), "a text is missing from the report");
    if (!report.usable()) {
        fuzz::check(
            !report.problem.empty() || std::any_of(report.shares.begin(), report.shares.end(),
                                                   [](const ShareStatus& s) {
                                                       return s.state != ShareState::good &&
                                                              s.state != ShareState::duplicate;
                                                   }),
            "an unusable set names no problem and no bad share");
        return 0;
    }
    fuzz::check(report.scheme.has_value() && report.k >= 2, "usable set without scheme or k");
    fuzz::check(list.k == 0 || list.k == report.k, "the set took another k than the one given");
    SecretBytes secret;
    set.secret(secret);

    std::vector<std::string_view> good;
    for (std::size_t i = 0; i < report.shares.size(); ++i) {
        const ShareStatus& status = report.shares[i];
        fuzz::check(status.state == ShareState::good || !status.reason.empty(),
                    "a share was set aside without a reason");
        if (status.state == ShareState::good) good.push_back(bare_of(list.shares[i]));
    }
    fuzz::check(good.size() >= report.k, "usable with fewer than k good shares");
    if (report.k > max_checked_k) return 0;
    const bool shamir = *report.scheme == Scheme::shamir;
    const std::vector<std::string_view> first(good.begin(),
                                              good.begin() + static_cast<std::ptrdiff_t>(report.k));
    if (report.version == 2) {
        // No bare share inside: k of the good texts alone must give the same secret.
        std::vector<std::string_view> texts;
        for (std::size_t i = 0; i < report.shares.size() && texts.size() < report.k; ++i) {
            if (report.shares[i].state == ShareState::good) texts.push_back(list.shares[i]);
        }
        const ShareSet k_alone(texts, list.k);
        SecretBytes alone;
        fuzz::check(k_alone.report().usable(), "k good shares did not combine");
        k_alone.secret(alone);
        fuzz::check(alone.bytes == secret.bytes, "the set's secret differs from its shares'");
    }
    const Result<SecretBytes> plain = report.version == 2 ? Result<SecretBytes>(secret)
                                      : shamir            ? shamir_combine(first, report.k)
                                                          : blakley_combine(first, report.k);
    if (plain) {
        fuzz::check(plain->bytes == secret.bytes, "the set's secret differs from its shares'");
    } else {
        // k good Blakley hyperplanes may still be dependent; the set used others with them.
        fuzz::check(!shamir && plain.error().message == "System is linearly dependent",
                    "k good shares did not combine", plain.error().message);
    }

    fuzz::ReplaySource random(data, size);
    const Result<std::string> added = set.new_share(std::nullopt, random);
    if (!added) return 0;  // Shamir: no index left above the highest given
    std::vector<std::string_view> grown(list.shares.begin(), list.shares.end());
    grown.push_back(*added);
    const ShareSet again(grown, list.k);
    fuzz::check(again.report().usable(), "a new share made the set unusable", *added);
    fuzz::check(again.report().shares.back().state == ShareState::good, "the new share is not good",
                *added);
    SecretBytes rebuilt;
    again.secret(rebuilt);
    fuzz::check(rebuilt.bytes == secret.bytes, "a new share changed the secret");
    return 0;
}
