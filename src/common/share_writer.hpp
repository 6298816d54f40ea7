#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varnhold {

// Receives a split's share texts in order. The splits write each share as soon as it is made, so
// the caller can turn it into its final form at once and no second copy of the whole output is
// ever held.
class ShareWriter {
public:
    virtual ~ShareWriter() = default;
    // Called once, after validation and before the first share, with the number of shares.
    virtual void begin(std::size_t count) = 0;
    // The text is only valid during the call. Either call may end the split by throwing (the
    // interpreter's writer does when Ctrl-C was pressed or an object cannot be made); the
    // exception passes through the split, which holds its secrets in owners that wipe them as
    // the stack unwinds, to the caller's boundary.
    virtual void add(std::string_view text) = 0;
    // The memory the writer ends up holding for one share of `text_length` characters, its own
    // bookkeeping included, so that a split can check its whole output before making any of it.
    virtual std::uint64_t bytes_per_share(std::uint64_t text_length) const noexcept {
        return text_length;
    }
};

// Keeps the texts in memory (tests and tools outside the interpreter).
class VectorShareWriter final : public ShareWriter {
public:
    void begin(std::size_t count) override { texts.reserve(count); }
    void add(std::string_view text) override { texts.emplace_back(text); }

    std::vector<std::string> texts;
};

}  // namespace varnhold
