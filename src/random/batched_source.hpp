#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "random/byte_source.hpp"

namespace varnhold {

// Serves the draws of one call from a single request to another source. The first draw (or the
// first look at the reserved prefix) asks `source` for prefix + planned bytes at once; draws are
// then served in order from byte `prefix` on, and the first `prefix` bytes are kept for the
// caller (a set id). Draws past the plan, which only a rejected Blakley value causes, go to the
// source directly. Nothing is requested before the first draw, so a call that fails validation
// draws nothing. Bytes once served are never served again; the whole buffer is wiped once, when
// the source goes away. A small plan (a split of a small k) is held inside the object.
class BatchedByteSource final : public ByteSource {
public:
    BatchedByteSource(ByteSource& source, std::size_t planned, std::size_t prefix = 0);
    BatchedByteSource(const BatchedByteSource&) = delete;
    BatchedByteSource& operator=(const BatchedByteSource&) = delete;
    ~BatchedByteSource() override;

    // Draws of eight bytes are served from the buffer without a call at all (the ready bytes of
    // ByteSource, from byte `prefix` on); this serves the rest.
    void fill(std::uint8_t* data, std::size_t length) override;

    // The reserved prefix, read little-endian (at most 8 bytes are used).
    std::uint64_t prefix_u64();

private:
    void request();

    static constexpr std::size_t inline_capacity = 512;

    ByteSource& source_;
    std::size_t planned_;
    std::size_t prefix_;
    // Before the request nothing is ready, so the first draw calls fill, which makes it.
    std::uint8_t* buffer_ = nullptr;
    std::size_t size_ = 0;
    bool requested_ = false;
    std::vector<std::uint8_t> heap_;
    alignas(std::uint64_t) std::uint8_t inline_[inline_capacity];
};

}  // namespace varnhold
