#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "common/stop_check.hpp"
#include "common/wipe.hpp"
#include "field/chunks.hpp"
#include "field/field.hpp"
#include "random/byte_source.hpp"
#include "safe/envelope.hpp"
#include "safe/set_report.hpp"
#include "safe/share_texts.hpp"

namespace varnhold {

// Whether a set of exactly k bare shares, which nothing can check, is refused (the default) or
// read on the caller's explicit word.
enum class BareCheck : std::uint8_t { required, waived };

// Reads every text, groups them into one set, verifies every share beyond the k needed, locates
// wrong shares where the mathematics allows, and keeps the rebuilt polynomials or points for
// the operations below. `k_given` is 0 when the caller gave none.
class ShareSet {
public:
    ShareSet(std::span<const std::string_view> texts, std::uint64_t k_given,
             BareCheck bare_check = BareCheck::required);
    ShareSet(const ShareSet&) = delete;
    ShareSet& operator=(const ShareSet&) = delete;

    const SetReport& report() const noexcept { return report_; }

    // Only when report().usable().
    void secret(SecretBytes& out) const;
    // A share of the same set in the set's form: for Shamir the one at `index` (default: one
    // above the highest index given), for Blakley a fresh random hyperplane, numbered `index`
    // (envelopes only; default: one above the highest good number given).
    Result<std::string> new_share(std::optional<uint128> index, ByteSource& random) const;
    // The same shares (one per distinct index, in input order) plus the values of one random
    // polynomial with constant term 0, under a fresh set id. Shamir only.
    Result<std::vector<std::string>> refresh(ByteSource& random) const;

private:
    Result<std::string> new_shamir_share(std::optional<uint128> index) const;
    Result<std::string> new_blakley_share(std::optional<uint128> index, ByteSource& random) const;

    struct Parsed {
        std::size_t position = 0;
        uint128 x = 0;         // Shamir index
        bool decoded = false;  // used in the decoding (not held back as a same-index repeat)
    };

    void read_texts(std::span<const std::string_view> texts, std::uint64_t k_given);
    // Parse one candidate of the set into the next slot of values_; false when it is unreadable
    // or repeats an earlier share, which its status then says.
    bool read_shamir(const ShareCandidate& candidate, ShareStatus& status, Parsed& parsed);
    bool read_blakley(const ShareCandidate& candidate, ShareStatus& status, Parsed& parsed);
    bool agrees_with_polynomials(uint128 x, const FieldElement* values) const noexcept;
    // Decodes past the wrong shares and marks them; false (with the problem set) when they
    // cannot be told.
    bool locate_wrong_shamir(std::span<const uint128> xs, std::span<const FieldElement> ys,
                             std::span<const std::size_t> used);
    void judge_repeated_indices(StopCheck& stop);
    bool locate_wrong_blakley(std::span<const FieldElement> rows,
                              std::span<const FieldElement> constants);
    void decode_shamir();
    void decode_blakley();
    void range_check(bool after_locating);
    // The rebuilt polynomials or points, built now if the decoding did not need them.
    const WipedVector<FieldElement>& rebuilt() const;
    std::string wrap(const std::string& bare, uint128 number, std::uint64_t set_id) const;

    SetReport report_;
    std::vector<Parsed> parsed_;
    std::vector<FieldElement> coefficients_;  // Blakley rows, k per parsed share (public)
    WipedVector<FieldElement> values_;        // four per parsed share (secret)
    // Shamir: coefficient j of chunk c at c k + j; Blakley: coordinate t of chunk j at 4t + j.
    // A set of exactly k Shamir shares rebuilds only the chunks; the polynomials follow when a
    // new share asks for them.
    mutable std::optional<WipedVector<FieldElement>> rebuilt_;
    WipedVector<FieldElement> chunks_{chunk_count};
    bool rebuilt_ok_ = false;
};

}  // namespace varnhold
