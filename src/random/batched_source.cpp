#include "random/batched_source.hpp"

#include <algorithm>
#include <cstring>

#include "common/wipe.hpp"

namespace varnhold {

BatchedByteSource::BatchedByteSource(ByteSource& source, std::size_t planned, std::size_t prefix)
    : source_(source), planned_(planned), prefix_(prefix) {}

BatchedByteSource::~BatchedByteSource() { secure_wipe(buffer_, size_); }

void BatchedByteSource::request() {
    requested_ = true;
    const std::size_t size = prefix_ + planned_;
    if (size <= inline_capacity) {
        buffer_ = inline_;
    } else {
        heap_.resize(size);
        buffer_ = heap_.data();
    }
    std::memset(buffer_, 0, size);
    size_ = size;
    source_.fill(buffer_, size_);
    ready_ = buffer_ + prefix_;
    ready_end_ = buffer_ + size_;
}

void BatchedByteSource::fill(std::uint8_t* data, std::size_t length) {
    if (length == 0) return;
    if (!requested_) request();
    const std::size_t available = std::min(length, static_cast<std::size_t>(ready_end_ - ready_));
    std::memcpy(data, ready_, available);
    ready_ += available;
    if (available < length) source_.fill(data + available, length - available);
}

std::uint64_t BatchedByteSource::prefix_u64() {
    if (!requested_) request();
    std::uint64_t value = 0;
    for (std::size_t i = std::min<std::size_t>(prefix_, 8); i-- > 0;)
        value = (value << 8) | buffer_[i];
    return value;
}

}  // namespace varnhold
