#include "safe/share_set.hpp"

#include <algorithm>

#include "blakley/blakley_share.hpp"
#include "common/decimal.hpp"
#include "field/polynomial.hpp"
#include "safe/set_choice.hpp"
#include "safe/share_refusals.hpp"
#include "safe/share_tag.hpp"
#include "shamir/shamir_share.hpp"

namespace varnhold {
namespace {

constexpr const char* repeats_message = "repeats an earlier share";

// The Blakley parser names the share by its place in its own list; here the place is given
// separately, so "Share 0 has invalid format: ..." becomes "invalid format: ...".
std::string position_free(std::string message) {
    constexpr std::string_view prefix = "Share ";
    const std::size_t has = message.find(" has ");
    if (message.rfind(prefix, 0) == 0 && has != std::string::npos) return message.substr(has + 5);
    return message;
}

bool same_values(const FieldElement* a, const FieldElement* b, std::size_t width) noexcept {
    uint128 difference = 0;
    for (std::size_t c = 0; c < width; ++c) difference |= a[c].value ^ b[c].value;
    return difference == 0;
}

}  // namespace

ShareSet::ShareSet(std::span<const std::string_view> texts, std::uint64_t k_given,
                   BareCheck bare_check)
    : opened_values_(texts.size() * envelope_value_count),
      values_(texts.size() * max_share_values),
      tags_(texts.size()) {
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
    // k bare shares always rebuild some secret: with nothing beyond them, a wrong one goes
    // unnoticed. Exact repeats are not among parsed_ and prove nothing.
    if (!report_.envelopes && parsed_.size() == report_.k && bare_check == BareCheck::required) {
        report_.problem = "exactly k = " + to_decimal(report_.k) +
                          " bare shares cannot be checked: give one more share, or (to combine, "
                          "add a share or refresh) opt in with unchecked=True (--unchecked), "
                          "which gives no protection";
        return;
    }
    // Version 2 Blakley shares were turned into points of polynomials as they were read.
    if (*report_.scheme == Scheme::shamir || report_.version == 2) {
        decode_shamir();
    } else {
        decode_blakley();
    }
}

void ShareSet::read_texts(std::span<const std::string_view> texts, std::uint64_t k_given) {
    StopCheck stop;
    const std::vector<std::optional<ShareCandidate>> candidates = open_share_texts(
        texts, report_.shares, {opened_values_.data(), opened_values_.size()}, stop);
    if (!choose_set(candidates, k_given, report_)) return;
    if (report_.version == 2) width_ = envelope_shared_values;
    // The nodes of version 2 Blakley shares, computed together (they are public).
    std::vector<FieldElement> nodes;
    if (report_.version == 2 && *report_.scheme == Scheme::blakley) {
        std::vector<std::uint64_t> numbers(texts.size());
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (candidates[i] && candidates[i]->envelope)
                numbers[i] = static_cast<std::uint64_t>(candidates[i]->envelope->header.number);
        }
        nodes.resize(texts.size());
        blakley_nodes(report_.set_id.value_or(0), numbers, nodes);
    }
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (!candidates[i]) continue;
        // Reading the share, and comparing it with the earlier ones.
        stop.work(candidates[i]->bare.size() / 4 + parsed_.size() / 4 + 16);
        ShareStatus& status = report_.shares[i];
        if (!fits_set(*candidates[i], report_, status)) continue;
        Parsed parsed;
        parsed.position = i;
        bool read = false;
        if (report_.version == 2) {
            read = read_version_2(*candidates[i], opened_values_.data() + i * envelope_value_count,
                                  nodes.empty() ? FieldElement{} : nodes[i], status, parsed);
        } else if (*report_.scheme == Scheme::shamir) {
            read = read_shamir(*candidates[i], status, parsed);
        } else {
            read = read_blakley(*candidates[i], status, parsed);
        }
        if (!read) continue;
        parsed_.push_back(parsed);
    }
    if (!nodes.empty()) divide_by_nodes();
}

void ShareSet::divide_by_nodes() {
    // One inversion for all the nodes (public, never 0), then a product per value.
    std::vector<FieldElement> inverses(parsed_.size());
    std::vector<FieldElement> prefix(parsed_.size());
    for (std::size_t i = 0; i < parsed_.size(); ++i) inverses[i] = FieldElement{parsed_[i].x};
    if (!invert_public_batch(inverses.data(), prefix.data(), inverses.size())) {
        report_.problem = "a share's node is 0";  // no node is: this only keeps values unread
        return;
    }
    for (std::size_t i = 0; i < parsed_.size(); ++i) {
        FieldElement* const values = values_.data() + i * width_;
        for (std::size_t c = 0; c < width_; ++c) values[c] = field_mul(values[c], inverses[i]);
    }
}

bool ShareSet::read_shamir(const ShareCandidate& candidate, ShareStatus& status, Parsed& parsed) {
    FieldElement* const values = values_.data() + parsed_.size() * width_;
    Result<ShamirShare> share = parse_shamir_share(candidate.bare);
    if (!share) {
        status.mark(ShareState::unreadable, share.error().message);
        return false;
    }
    std::copy(share->values.begin(), share->values.end(), values);
    secure_wipe_object(share->values);
    if (const auto refused = refused_shamir_index(
            candidate.bare.substr(0, candidate.bare.find(':')), share->index)) {
        status.mark(ShareState::unreadable, std::string(*refused));
        return false;
    }
    if (candidate.envelope &&
        candidate.bare.substr(0, candidate.bare.find(':')) != candidate.envelope->number_field) {
        status.mark(ShareState::unreadable, "its envelope number is not the share's index");
        return false;
    }
    parsed.x = share->index;
    status.number = share->index;
    return judge_same_index(parsed, status);
}

bool ShareSet::judge_same_index(Parsed& parsed, ShareStatus& status) {
    const std::size_t at = parsed_.size();
    const FieldElement* const values = values_.data() + at * width_;
    parsed.decoded = true;
    // Shares given in order of their indices, as they usually are, meet no earlier one at theirs:
    // only a share whose index is not above every earlier one is compared with them.
    if (parsed_.empty() || parsed.x > largest_x_) {
        largest_x_ = parsed.x;
        return true;
    }
    for (const Parsed& earlier : parsed_) {
        if (earlier.x != parsed.x) continue;
        const std::size_t e = static_cast<std::size_t>(&earlier - parsed_.data());
        if (same_values(values_.data() + e * width_, values, width_) &&
            same_values(&tags_[e], &tags_[at], 1)) {
            status.mark(ShareState::duplicate, repeats_message);
            return false;
        }
        // A different share at the same index is checked once the set is decoded.
        parsed.decoded = false;
        break;
    }
    return true;
}

bool ShareSet::read_version_2(const ShareCandidate& candidate, const FieldElement* opened,
                              FieldElement node, ShareStatus& status, Parsed& parsed) {
    const EnvelopeHeader& header = candidate.envelope->header;
    FieldElement* const values = values_.data() + parsed_.size() * width_;
    std::copy_n(opened, envelope_shared_values, values);
    tags_[parsed_.size()] = opened[envelope_shared_values];
    status.number = header.number;
    if (header.scheme == Scheme::shamir) {
        parsed.x = header.number;
    } else {
        // The constants of the row (h, .., h^k) are h times the values at h of the polynomials
        // whose coefficients are the points' coordinates. The node is public. Shares at one node
        // are compared before the division, which does not change whether they are equal.
        parsed.x = node.value;
    }
    return judge_same_index(parsed, status);
}

bool ShareSet::read_blakley(const ShareCandidate& candidate, ShareStatus& status, Parsed& parsed) {
    const std::size_t k = static_cast<std::size_t>(report_.k);
    FieldElement* const values = values_.data() + parsed_.size() * width_;
    Result<BlakleyShare> share = parse_blakley_share(candidate.bare, 0, k);
    if (!share) {
        status.mark(ShareState::unreadable, position_free(share.error().message));
        return false;
    }
    std::copy(share->constants.begin(), share->constants.end(), values);
    secure_wipe_object(share->constants);
    if (const auto refused = refused_blakley_row(share->coefficients)) {
        status.mark(ShareState::unreadable, std::string(*refused));
        return false;
    }
    parsed.decoded = true;
    for (std::size_t e = 0; e < parsed_.size(); ++e) {
        if (std::equal(share->coefficients.begin(), share->coefficients.end(),
                       coefficients_.begin() + static_cast<std::ptrdiff_t>(e * k)) &&
            same_values(values_.data() + e * width_, values, width_)) {
            status.mark(ShareState::duplicate, repeats_message);
            return false;
        }
    }
    coefficients_.insert(coefficients_.end(), share->coefficients.begin(),
                         share->coefficients.end());
    return true;
}

}  // namespace varnhold
