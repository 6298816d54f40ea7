#pragma once

#include <cstddef>
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
    // The text is only valid during the call.
    virtual void add(std::string_view text) = 0;
};

// Keeps the texts in memory (tests and tools outside the interpreter).
class VectorShareWriter final : public ShareWriter {
public:
    void begin(std::size_t count) override { texts.reserve(count); }
    void add(std::string_view text) override { texts.emplace_back(text); }

    std::vector<std::string> texts;
};

}  // namespace varnhold
