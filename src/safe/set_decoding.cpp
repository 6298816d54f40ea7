#include <algorithm>

#include "field/polynomial.hpp"
#include "safe/blakley_decode.hpp"
#include "safe/shamir_decode.hpp"
#include "safe/share_set.hpp"
#include "safe/share_tag.hpp"

namespace varnhold {
namespace {

constexpr const char* cannot_locate_message =
    "the shares are inconsistent and which of them are wrong cannot be told";
constexpr const char* not_genuine_message =
    "the shares do not rebuild a secret of one split: they mix splits, a share was altered, or k "
    "is wrong";
constexpr const char* disagrees_message = "disagrees with the other shares";
constexpr const char* tag_message =
    "the secret's tag does not match: a share was altered after its check was written, or the "
    "shares mix splits";

}  // namespace

void ShareSet::verify_rebuilt(bool after_locating) {
    // A genuine split shares 64-bit chunks, so a rebuilt chunk of 2^64 or more is never a secret.
    uint128 high = 0;
    for (std::size_t c = 0; c < chunk_count; ++c) high |= chunks_[c].value >> 64;
    if (high != 0) return set_not_genuine(after_locating, not_genuine_message);
    if (report_.version == 2 && !tag_agrees()) return set_not_genuine(after_locating, tag_message);
    rebuilt_ok_ = true;
}

// Every share read carries the tag of the rebuilt key and secret, those found wrong too: a wrong
// share with another tag means shares that rebuild another key and secret than some share was
// made for (forged shares outnumbering an honest one, say), which is never settled by a majority.
// A share altered by its own custodian keeps the set's tag and is located as wrong as before.
bool ShareSet::tag_agrees() {
    SecretBytes secret;
    std::array<FieldElement, chunk_count> chunks{};
    for (std::size_t c = 0; c < chunk_count; ++c) chunks[c] = chunks_[c];
    chunks_to_secret(chunks, secret);
    secure_wipe_object(chunks);
    tag_ = secret_tag(chunks_[chunk_count], secret.bytes);
    // The verdict is public; the tags compared are not, so their differences are gathered whole.
    uint128 difference = 0;
    for (std::size_t p = 0; p < parsed_.size(); ++p) difference |= tags_[p].value ^ tag_.value;
    return difference == 0;
}

void ShareSet::set_not_genuine(bool after_locating, const char* message) {
    if (after_locating) {
        // The decoder's answer is not a split either: blame nobody.
        for (ShareStatus& status : report_.shares) {
            if (status.state == ShareState::wrong) status.mark(ShareState::good, {});
        }
        report_.problem = cannot_locate_message;
    } else {
        report_.problem = message;
    }
}

bool ShareSet::agrees_with_polynomials(uint128 x, const FieldElement* values) const noexcept {
    const std::size_t k = static_cast<std::size_t>(report_.k);
    const WipedVector<FieldElement>& polys = *rebuilt_;
    uint128 difference = 0;
    for (std::size_t c = 0; c < width_; ++c) {
        difference |= evaluate_polynomial_at(polys.data() + c * k, k, FieldElement{x}).value ^
                      values[c].value;
    }
    return difference == 0;
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
        shamir_constant_terms(xs, {values_.data(), m * width_}, k, chunks_.data())) {
        // Nothing to verify: the chunks are all that is needed.
        verify_rebuilt(false);
        return;
    }
    WipedVector<FieldElement> ys(m * width_);
    for (std::size_t i = 0; i < m; ++i) {
        std::copy_n(values_.data() + used[i] * width_, width_, ys.data() + i * width_);
    }
    rebuilt_.emplace(k * width_);
    interpolate_shamir(xs, {ys.data(), ys.size()}, k, *rebuilt_);
    StopCheck stop;
    bool all_agree = true;
    for (std::size_t i = k; i < m; ++i) {
        stop.work(width_ * k);
        all_agree = agrees_with_polynomials(xs[i], ys.data() + i * width_) && all_agree;
    }
    const bool located = !all_agree;
    if (located && !locate_wrong_shamir(xs, {ys.data(), ys.size()}, used)) return;
    for (std::size_t c = 0; c < width_; ++c) chunks_[c] = (*rebuilt_)[c * k];
    verify_rebuilt(located);
    if (rebuilt_ok_) judge_repeated_indices(stop);
}

bool ShareSet::locate_wrong_shamir(std::span<const uint128> xs, std::span<const FieldElement> ys,
                                   std::span<const std::size_t> used) {
    const std::size_t k = static_cast<std::size_t>(report_.k);
    std::vector<std::size_t> wrong;
    if (!locate_wrong_shares(xs, ys, k, *rebuilt_, wrong)) {
        report_.problem = cannot_locate_message;
        return false;
    }
    for (const std::size_t i : wrong) {
        report_.shares[parsed_[used[i]].position].mark(ShareState::wrong, disagrees_message);
    }
    return true;
}

// Different shares at an index already used: now the decoded polynomials say which is right.
void ShareSet::judge_repeated_indices(StopCheck& stop) {
    const std::size_t k = static_cast<std::size_t>(report_.k);
    for (std::size_t p = 0; p < parsed_.size(); ++p) {
        if (parsed_[p].decoded) continue;
        stop.work(width_ * k);
        ShareStatus& status = report_.shares[parsed_[p].position];
        // (In version 2 its tag was compared with the others' already.)
        if (agrees_with_polynomials(parsed_[p].x, values_.data() + p * width_)) {
            status.mark(ShareState::duplicate, "repeats an earlier share");
        } else {
            status.mark(ShareState::wrong, disagrees_message);
        }
    }
}

void ShareSet::decode_blakley() {
    const std::size_t k = static_cast<std::size_t>(report_.k);
    const std::size_t m = parsed_.size();
    const std::span<const FieldElement> rows(coefficients_);
    const std::span<const FieldElement> constants(values_.data(), m * chunk_count);
    rebuilt_.emplace(k * chunk_count);
    const BlakleySolve all = solve_blakley_points(rows, constants, m, k, skip_none, *rebuilt_);
    if (all == BlakleySolve::dependent) {
        report_.problem = "fewer than k of the shares are independent hyperplanes";
        return;
    }
    const bool located = all == BlakleySolve::inconsistent;
    if (located && !locate_wrong_blakley(rows, constants)) return;
    for (std::size_t c = 0; c < chunk_count; ++c) chunks_[c] = (*rebuilt_)[c];
    verify_rebuilt(located);
}

// One wrong share among k + 2 or more: leaving it out, and only it, makes the rest agree.
bool ShareSet::locate_wrong_blakley(std::span<const FieldElement> rows,
                                    std::span<const FieldElement> constants) {
    const std::size_t k = static_cast<std::size_t>(report_.k);
    const std::size_t m = parsed_.size();
    std::size_t culprit = skip_none;
    bool unique = m >= k + 2;
    StopCheck stop;
    for (std::size_t j = 0; unique && j < m; ++j) {
        // Each solve asks on its own only when it is long by itself.
        stop.work(m * (k + chunk_count) * k);
        WipedVector<FieldElement> trial(k * chunk_count);
        if (solve_blakley_points(rows, constants, m, k, j, trial) != BlakleySolve::solved) continue;
        if (culprit != skip_none) unique = false;
        culprit = j;
        std::copy_n(trial.data(), trial.size(), rebuilt_->data());
    }
    if (!unique || culprit == skip_none) {
        report_.problem = cannot_locate_message;
        return false;
    }
    report_.shares[parsed_[culprit].position].mark(ShareState::wrong, disagrees_message);
    return true;
}

const WipedVector<FieldElement>& ShareSet::rebuilt() const {
    if (!rebuilt_) {
        // Only a Shamir set of exactly k distinct shares gets here, all of them decoded.
        const std::size_t k = static_cast<std::size_t>(report_.k);
        std::vector<uint128> xs(k);
        for (std::size_t i = 0; i < k; ++i) xs[i] = parsed_[i].x;
        rebuilt_.emplace(k * width_);
        interpolate_shamir(xs, {values_.data(), k * width_}, k, *rebuilt_);
    }
    return *rebuilt_;
}

}  // namespace varnhold
