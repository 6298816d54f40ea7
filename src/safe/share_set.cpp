#include "safe/share_set.hpp"

#include <algorithm>
#include <map>
#include <tuple>

#include "blakley/blakley_share.hpp"
#include "common/decimal.hpp"
#include "common/stop_check.hpp"
#include "safe/blakley_decode.hpp"
#include "safe/shamir_decode.hpp"
#include "shamir/shamir_share.hpp"

namespace varnhold {
namespace {

constexpr const char* cannot_locate_message =
    "the shares are inconsistent and which of them are wrong cannot be told";
constexpr const char* not_genuine_message =
    "the shares do not rebuild a secret of one split: they mix splits, a share was altered, or k "
    "is wrong";
constexpr const char* disagrees_message = "disagrees with the other shares";

std::string capitalised(Scheme scheme) { return scheme == Scheme::shamir ? "Shamir" : "Blakley"; }

// The Blakley parser names the share by its place in its own list; here the place is given
// separately, so "Share 0 has invalid format: ..." becomes "invalid format: ...".
std::string position_free(std::string message) {
    constexpr std::string_view prefix = "Share ";
    const std::size_t has = message.find(" has ");
    if (message.rfind(prefix, 0) == 0 && has != std::string::npos) return message.substr(has + 5);
    return message;
}

// A bare Blakley share always has a comma between its coefficients; a Shamir share never does.
Scheme scheme_by_shape(std::string_view bare) {
    return bare.find(',') != std::string_view::npos ? Scheme::blakley : Scheme::shamir;
}

bool same_values(const FieldElement* a, const FieldElement* b) noexcept {
    uint128 difference = 0;
    for (std::size_t c = 0; c < chunk_count; ++c) difference |= a[c].value ^ b[c].value;
    return difference == 0;
}

}  // namespace

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

ShareSet::ShareSet(std::span<const std::string_view> texts, std::uint64_t k_given)
    : values_(texts.size() * chunk_count) {
    report_.shares.resize(texts.size());
    if (k_given == 1) {
        report_.problem = "k must be at least 2";
        return;
    }
    read_texts(texts, k_given);
    if (!report_.problem.empty() || !report_.scheme) return;
    std::size_t distinct = 0;
    for (const Parsed& p : parsed_) distinct += p.decoded ? 1 : 0;
    if (distinct < report_.k) {
        report_.problem = "need at least " + to_decimal(report_.k) + " shares of one set, got " +
                          to_decimal(distinct);
        return;
    }
    if (*report_.scheme == Scheme::shamir) {
        decode_shamir();
    } else {
        decode_blakley();
    }
}

void ShareSet::read_texts(std::span<const std::string_view> texts, std::uint64_t k_given) {
    struct Candidate {
        std::string_view bare;
        std::optional<OpenedEnvelope> envelope;
    };
    std::vector<std::optional<Candidate>> candidates(texts.size());
    // Envelopes vote for their set; the largest group (the earliest on a tie) is the set.
    using SetKey = std::tuple<int, std::uint64_t, std::uint64_t>;
    std::map<SetKey, std::pair<std::size_t, std::size_t>> groups;  // key -> (count, first position)
    std::size_t bare_votes[2] = {0, 0};
    StopCheck stop;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        // Trimming, the envelope's check and the vote.
        stop.work(texts[i].size() + 16);
        ShareStatus& status = report_.shares[i];
        const std::string_view text = trim_share_text(texts[i]);
        if (text.empty()) {
            status.state = ShareState::unreadable;
            status.reason = "is empty";
            continue;
        }
        if (!looks_like_envelope(text)) {
            candidates[i] = Candidate{text, std::nullopt};
            ++bare_votes[static_cast<int>(scheme_by_shape(text))];
            continue;
        }
        Result<OpenedEnvelope> opened = open_envelope(text);
        if (!opened) {
            status.state = ShareState::unreadable;
            status.reason = opened.error().message;
            continue;
        }
        const EnvelopeHeader& h = opened->header;
        auto [entry, fresh] = groups.try_emplace(SetKey{static_cast<int>(h.scheme), h.k, h.set_id},
                                                 std::pair<std::size_t, std::size_t>{0, i});
        ++entry->second.first;
        candidates[i] = Candidate{opened->bare, std::move(*opened)};
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
    if (chosen) {
        report_.scheme = static_cast<Scheme>(std::get<0>(*chosen));
        report_.k = std::get<1>(*chosen);
        report_.set_id = std::get<2>(*chosen);
        report_.envelopes = true;
        if (k_given != 0 && k_given != report_.k) {
            report_.problem = "k = " + to_decimal(k_given) +
                              " was given, but the shares were made "
                              "with k = " +
                              to_decimal(report_.k);
        }
    } else if (bare_votes[0] + bare_votes[1] > 0) {
        report_.scheme = bare_votes[1] > bare_votes[0] ? Scheme::blakley : Scheme::shamir;
        report_.k = k_given;
        if (k_given == 0) report_.problem = "bare shares can only be read when k is given";
    } else {
        report_.problem = "no readable share was given";
        return;
    }
    const Scheme scheme = *report_.scheme;
    const std::uint64_t k = report_.k;

    std::size_t slot = 0;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (!candidates[i]) continue;
        // Reading the share, and comparing it with the earlier ones.
        stop.work(candidates[i]->bare.size() / 4 + parsed_.size() / 4 + 16);
        ShareStatus& status = report_.shares[i];
        const Candidate& candidate = *candidates[i];
        if (candidate.envelope) {
            const EnvelopeHeader& h = candidate.envelope->header;
            status.number = h.number;
            if (h.scheme != scheme) {
                status.state = ShareState::foreign;
                status.reason =
                    "is a " + capitalised(h.scheme) + " share, the set is " + capitalised(scheme);
                continue;
            }
            if (h.k != k) {
                status.state = ShareState::foreign;
                status.reason =
                    "was made with k = " + to_decimal(h.k) + ", the set with k = " + to_decimal(k);
                continue;
            }
            if (h.set_id != *report_.set_id) {
                status.state = ShareState::foreign;
                status.reason = "belongs to another set";
                continue;
            }
        } else if (scheme_by_shape(candidate.bare) != scheme) {
            status.state = ShareState::foreign;
            status.reason = "looks like a " + capitalised(scheme_by_shape(candidate.bare)) +
                            " share, the set is " + capitalised(scheme);
            continue;
        } else if (k == 0) {
            status.state = ShareState::unreadable;
            status.reason = "is a bare share, which can only be read when k is given";
            continue;
        }

        FieldElement* const values = values_.data() + slot * chunk_count;
        Parsed parsed;
        parsed.position = i;
        if (scheme == Scheme::shamir) {
            Result<ShamirShare> share = parse_shamir_share(candidate.bare);
            if (!share) {
                status.state = ShareState::unreadable;
                status.reason = share.error().message;
                continue;
            }
            std::copy(share->values.begin(), share->values.end(), values);
            secure_wipe_object(share->values);
            if (candidate.envelope && candidate.bare.substr(0, candidate.bare.find(':')) !=
                                          candidate.envelope->number_field) {
                status.state = ShareState::unreadable;
                status.reason = "its envelope number is not the share's index";
                continue;
            }
            parsed.x = share->index;
            status.number = share->index;
            parsed.decoded = true;
            for (const Parsed& earlier : parsed_) {
                if (earlier.x != parsed.x) continue;
                if (same_values(values_.data() + (&earlier - parsed_.data()) * chunk_count,
                                values)) {
                    status.state = ShareState::duplicate;
                    status.reason = "repeats an earlier share";
                }
                // A different share at the same index is checked once the set is decoded.
                parsed.decoded = false;
                break;
            }
            if (status.state == ShareState::duplicate) continue;
        } else {
            Result<BlakleyShare> share = parse_blakley_share(candidate.bare, 0, k);
            if (!share) {
                status.state = ShareState::unreadable;
                status.reason = position_free(share.error().message);
                continue;
            }
            std::copy(share->constants.begin(), share->constants.end(), values);
            secure_wipe_object(share->constants);
            parsed.decoded = true;
            for (const Parsed& earlier : parsed_) {
                const std::size_t e = static_cast<std::size_t>(&earlier - parsed_.data());
                if (std::equal(share->coefficients.begin(), share->coefficients.end(),
                               coefficients_.begin() + static_cast<std::ptrdiff_t>(e * k)) &&
                    same_values(values_.data() + e * chunk_count, values)) {
                    status.state = ShareState::duplicate;
                    status.reason = "repeats an earlier share";
                    break;
                }
            }
            if (status.state == ShareState::duplicate) continue;
            coefficients_.insert(coefficients_.end(), share->coefficients.begin(),
                                 share->coefficients.end());
        }
        parsed_.push_back(parsed);
        ++slot;
    }
}

void ShareSet::range_check(const FieldElement* chunks, std::size_t stride, bool after_locating) {
    // A genuine split shares 64-bit chunks, so a rebuilt chunk of 2^64 or more is never a secret.
    uint128 high = 0;
    for (std::size_t c = 0; c < chunk_count; ++c) high |= chunks[c * stride].value >> 64;
    if (high == 0) {
        rebuilt_ok_ = true;
        return;
    }
    if (after_locating) {
        // The decoder's answer is not a split either: blame nobody.
        for (ShareStatus& status : report_.shares) {
            if (status.state == ShareState::wrong) {
                status.state = ShareState::good;
                status.reason.clear();
            }
        }
        report_.problem = cannot_locate_message;
    } else {
        report_.problem = not_genuine_message;
    }
}

void ShareSet::decode_shamir() {
    const std::size_t k = static_cast<std::size_t>(report_.k);
    std::vector<std::size_t> used;  // indices into parsed_
    for (std::size_t p = 0; p < parsed_.size(); ++p) {
        if (parsed_[p].decoded) used.push_back(p);
    }
    const std::size_t m = used.size();
    std::vector<uint128> xs(m);
    for (std::size_t i = 0; i < m; ++i) xs[i] = parsed_[used[i]].x;
    if (m == k && parsed_.size() == m &&
        shamir_constant_terms(xs, {values_.data(), m * chunk_count}, k, chunks_.data())) {
        // Nothing to verify: the chunks are all that is needed.
        range_check(chunks_.data(), 1, false);
        return;
    }
    WipedVector<FieldElement> ys(m * chunk_count);
    for (std::size_t i = 0; i < m; ++i) {
        std::copy_n(values_.data() + used[i] * chunk_count, chunk_count,
                    ys.data() + i * chunk_count);
    }
    rebuilt_.emplace(k * chunk_count);
    WipedVector<FieldElement>& polys = *rebuilt_;
    interpolate_shamir(xs, {ys.data(), ys.size()}, k, polys);

    auto agrees = [&polys, k](uint128 x, const FieldElement* values) {
        uint128 difference = 0;
        for (std::size_t c = 0; c < chunk_count; ++c) {
            difference |= evaluate_polynomial(polys.data() + c * k, k, FieldElement{x}).value ^
                          values[c].value;
        }
        return difference == 0;
    };
    StopCheck stop;
    bool all_agree = true;
    for (std::size_t i = k; i < m; ++i) {
        stop.work(chunk_count * k);
        all_agree = agrees(xs[i], ys.data() + i * chunk_count) && all_agree;
    }

    bool located = false;
    if (!all_agree) {
        std::vector<std::size_t> wrong;
        if (!locate_wrong_shares(xs, {ys.data(), ys.size()}, k, polys, wrong)) {
            report_.problem = cannot_locate_message;
            return;
        }
        for (const std::size_t i : wrong) {
            ShareStatus& status = report_.shares[parsed_[used[i]].position];
            status.state = ShareState::wrong;
            status.reason = disagrees_message;
        }
        located = true;
    }
    for (std::size_t c = 0; c < chunk_count; ++c) chunks_[c] = polys[c * k];
    range_check(chunks_.data(), 1, located);
    if (!rebuilt_ok_) return;
    // Different shares at an index already used: now the decoded polynomials say which is right.
    for (std::size_t p = 0; p < parsed_.size(); ++p) {
        if (parsed_[p].decoded) continue;
        stop.work(chunk_count * k);
        ShareStatus& status = report_.shares[parsed_[p].position];
        if (agrees(parsed_[p].x, values_.data() + p * chunk_count)) {
            status.state = ShareState::duplicate;
            status.reason = "repeats an earlier share";
        } else {
            status.state = ShareState::wrong;
            status.reason = disagrees_message;
        }
    }
}

void ShareSet::decode_blakley() {
    const std::size_t k = static_cast<std::size_t>(report_.k);
    const std::size_t m = parsed_.size();
    const std::span<const FieldElement> rows(coefficients_);
    const std::span<const FieldElement> constants(values_.data(), m * chunk_count);
    rebuilt_.emplace(k * chunk_count);
    WipedVector<FieldElement>& points = *rebuilt_;
    const BlakleySolve all = solve_blakley_points(rows, constants, m, k, skip_none, points);
    if (all == BlakleySolve::dependent) {
        report_.problem = "fewer than k of the shares are independent hyperplanes";
        return;
    }
    bool located = false;
    if (all == BlakleySolve::inconsistent) {
        // One wrong share among k + 2 or more: leaving it out, and only it, makes the rest agree.
        std::size_t culprit = skip_none;
        bool unique = m >= k + 2;
        StopCheck stop;
        for (std::size_t j = 0; unique && j < m; ++j) {
            // Each solve asks on its own only when it is long by itself.
            stop.work(m * (k + chunk_count) * k);
            WipedVector<FieldElement> trial(k * chunk_count);
            if (solve_blakley_points(rows, constants, m, k, j, trial) != BlakleySolve::solved)
                continue;
            if (culprit != skip_none) unique = false;
            culprit = j;
            std::copy_n(trial.data(), trial.size(), points.data());
        }
        if (!unique || culprit == skip_none) {
            report_.problem = cannot_locate_message;
            return;
        }
        ShareStatus& status = report_.shares[parsed_[culprit].position];
        status.state = ShareState::wrong;
        status.reason = disagrees_message;
        located = true;
    }
    for (std::size_t c = 0; c < chunk_count; ++c) chunks_[c] = points[c];
    range_check(chunks_.data(), 1, located);
}

const WipedVector<FieldElement>& ShareSet::rebuilt() const {
    if (!rebuilt_) {
        // Only a Shamir set of exactly k distinct shares gets here, all of them decoded.
        const std::size_t k = static_cast<std::size_t>(report_.k);
        std::vector<uint128> xs(k);
        for (std::size_t i = 0; i < k; ++i) xs[i] = parsed_[i].x;
        rebuilt_.emplace(k * chunk_count);
        interpolate_shamir(xs, {values_.data(), k * chunk_count}, k, *rebuilt_);
    }
    return *rebuilt_;
}

}  // namespace varnhold
