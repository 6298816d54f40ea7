#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/uint128.hpp"
#include "safe/envelope.hpp"

namespace varnhold {

enum class ShareState : std::uint8_t { good, wrong, unreadable, duplicate, foreign };

const char* share_state_name(ShareState state) noexcept;

struct ShareStatus {
    ShareState state = ShareState::good;
    std::optional<uint128> number;  // envelope number, or the index of a bare Shamir share
    std::string reason;             // empty for a good share; never holds share values

    void mark(ShareState new_state, std::string new_reason) {
        state = new_state;
        reason = std::move(new_reason);
    }
};

// What a list of share texts is found to be. `shares` has one entry per text, in input order.
struct SetReport {
    std::optional<Scheme> scheme;
    std::uint64_t k = 0;  // 0 when unknown
    std::optional<std::uint64_t> set_id;
    bool envelopes = false;    // the set's shares are envelopes (else bare texts)
    std::uint8_t version = 1;  // the envelopes' format version (1 for bare texts)
    std::vector<ShareStatus> shares;
    std::string problem;  // set-level problem, empty when there is none

    // Every share good or a repeat of another, and a genuine secret rebuilt.
    bool usable() const noexcept;
};

}  // namespace varnhold
