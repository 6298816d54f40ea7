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
    // A share of the same set in the set's form and version: for Shamir the one at `index`
    // (default: one above the highest index given); for Blakley numbered `index` (envelopes only;
    // default: one above the highest good number given), in version 1 a fresh random hyperplane,
    // in version 2 the hyperplane its number derives.
    Result<std::string> new_share(std::optional<uint128> index, ByteSource& random) const;
    // A set of envelopes (either version, either scheme): a fresh split of version 2 under a new
    // set id, one share per distinct good number, in input order. Bare Shamir shares: the same
    // shares plus the values of one random polynomial with constant term 0, still bare.
    Result<std::vector<std::string>> refresh(ByteSource& random) const;
    // A fresh split of version 2 of the rebuilt secret with another k, n or scheme.
    Result<std::vector<std::string>> reshare(Scheme scheme, std::uint64_t k, std::uint64_t n,
                                             ByteSource& random) const;

private:
    Result<std::string> new_shamir_share(std::optional<uint128> index) const;
    Result<std::string> new_blakley_share(std::optional<uint128> index, ByteSource& random) const;
    Result<std::string> new_version_2_share(std::optional<uint128> index) const;
    Result<std::vector<std::string>> refresh_bare(ByteSource& random) const;

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
    // A version 2 envelope: its values, opened already, and its index (Shamir) or its node
    // (Blakley, from `node`). Blakley values are divided by their nodes once all are read
    // (divide_by_nodes), so that both schemes decode as points of polynomials.
    bool read_version_2(const ShareCandidate& candidate, const FieldElement* opened,
                        FieldElement node, ShareStatus& status, Parsed& parsed);
    void divide_by_nodes();
    // Whether the values at `parsed_.size()` repeat an earlier share: the same index and values
    // is a duplicate (false, status set); the same index with other values is held back.
    bool judge_same_index(Parsed& parsed, ShareStatus& status);
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
    // The range of the chunks, then (version 2) the tag; a failure after wrong shares were
    // located blames none of them.
    void verify_rebuilt(bool after_locating);
    bool tag_agrees();
    void set_not_genuine(bool after_locating, const char* message);
    // The rebuilt polynomials or points, built now if the decoding did not need them.
    const WipedVector<FieldElement>& rebuilt() const;
    std::string wrap(const std::string& bare, uint128 number, std::uint64_t set_id) const;

    SetReport report_;
    std::vector<Parsed> parsed_;
    uint128 largest_x_ = 0;                    // the largest index (Blakley v2: node) among parsed_
    std::vector<FieldElement> coefficients_;   // Blakley rows, k per parsed share (public)
    std::size_t width_ = chunk_count;          // shared values per share: 4, or 5 in version 2
    WipedVector<FieldElement> opened_values_;  // six per text, for version 2 envelopes (secret)
    WipedVector<FieldElement> values_;         // width_ per parsed share (secret)
    WipedVector<FieldElement> tags_;           // version 2: the tag each parsed share carries
    FieldElement tag_{};                       // version 2: the tag of the rebuilt key and secret
    // Shamir and version 2: coefficient j of value c at c k + j; version 1 Blakley: coordinate t
    // of chunk j at 4t + j.
    // A set of exactly k Shamir shares rebuilds only the chunks; the polynomials follow when a
    // new share asks for them.
    mutable std::optional<WipedVector<FieldElement>> rebuilt_;
    WipedVector<FieldElement> chunks_{max_share_values};  // the chunks, then (version 2) R
    bool rebuilt_ok_ = false;
};

}  // namespace varnhold
