#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "random/byte_source.hpp"

namespace varnhold {

// Serves the draws of one call from a single request to another source. The first draw (or the
// first look at the reserved prefix) asks `source` for prefix + planned bytes at once; draws are
// then served in order from byte `prefix` on, and the first `prefix` bytes are kept for the
// caller (a set id). Draws past the plan, which only a rejected Blakley value causes, go to the
// source directly. Nothing is requested before the first draw, so a call that fails validation
// draws nothing; the buffer is wiped when the source goes away.
class BatchedByteSource final : public ByteSource {
public:
    BatchedByteSource(ByteSource& source, std::size_t planned, std::size_t prefix = 0);
    BatchedByteSource(const BatchedByteSource&) = delete;
    BatchedByteSource& operator=(const BatchedByteSource&) = delete;
    ~BatchedByteSource() override;

    void fill(std::uint8_t* data, std::size_t length) override;

    // The reserved prefix, read little-endian (at most 8 bytes are used).
    std::uint64_t prefix_u64();

private:
    void request();

    ByteSource& source_;
    std::size_t planned_;
    std::size_t prefix_;
    std::vector<std::uint8_t> buffer_;
    std::size_t next_ = 0;
    bool requested_ = false;
};

}  // namespace varnhold
