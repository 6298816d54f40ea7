#include "safe/share_texts.hpp"

#include "common/decimal.hpp"
#include "safe/share_refusals.hpp"

namespace varnhold {

Scheme scheme_by_shape(std::string_view bare) noexcept {
    return bare.find(',') != std::string_view::npos ? Scheme::blakley : Scheme::shamir;
}

std::string capitalised(Scheme scheme) { return scheme == Scheme::shamir ? "Shamir" : "Blakley"; }

std::vector<std::optional<ShareCandidate>> open_share_texts(std::span<const std::string_view> texts,
                                                            std::span<ShareStatus> statuses,
                                                            std::span<FieldElement> values,
                                                            StopCheck& stop) {
    std::vector<std::optional<ShareCandidate>> candidates(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        stop.work(texts[i].size() + 16);
        const std::string_view text = trim_share_text(texts[i]);
        if (text.empty()) {
            statuses[i].mark(ShareState::unreadable, "is empty");
            continue;
        }
        if (!looks_like_envelope(text)) {
            candidates[i] = ShareCandidate{text, std::nullopt};
            continue;
        }
        Result<OpenedEnvelope> opened = open_envelope(
            text, values.subspan(i * envelope_value_count).first<envelope_value_count>());
        if (!opened) {
            statuses[i].mark(ShareState::unreadable, opened.error().message);
            continue;
        }
        candidates[i] = ShareCandidate{opened->bare, std::move(*opened)};
    }
    return candidates;
}

namespace {

bool envelope_fits_set(const EnvelopeHeader& h, const SetReport& report, ShareStatus& status) {
    const Scheme scheme = *report.scheme;
    status.number = h.number;
    if (h.scheme != scheme) {
        status.mark(ShareState::foreign,
                    "is a " + capitalised(h.scheme) + " share, the set is " + capitalised(scheme));
        return false;
    }
    if (h.k != report.k) {
        status.mark(ShareState::foreign, "was made with k = " + to_decimal(h.k) +
                                             ", the set with k = " + to_decimal(report.k));
        return false;
    }
    if (h.set_id != *report.set_id || h.version != report.version) {
        status.mark(ShareState::foreign, "belongs to another set");
        return false;
    }
    return true;
}

}  // namespace

bool fits_set(const ShareCandidate& candidate, const SetReport& report, ShareStatus& status) {
    if (candidate.envelope) return envelope_fits_set(candidate.envelope->header, report, status);
    // A bare share has no check of its own and would take the envelopes' k on trust. It is not
    // a set of its own either (recovery must not count it as a rival set): it cannot be read here.
    if (report.envelopes) {
        status.mark(ShareState::unreadable, std::string(bare_among_envelopes));
        return false;
    }
    const Scheme shape = scheme_by_shape(candidate.bare);
    if (shape != *report.scheme) {
        status.mark(ShareState::foreign, "looks like a " + capitalised(shape) +
                                             " share, the set is " + capitalised(*report.scheme));
        return false;
    }
    if (report.k == 0) {
        status.mark(ShareState::unreadable,
                    "is a bare share, which can only be read when k is given");
        return false;
    }
    return true;
}

}  // namespace varnhold
