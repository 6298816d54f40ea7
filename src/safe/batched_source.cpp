#include "safe/batched_source.hpp"

#include <algorithm>
#include <cstring>

#include "common/wipe.hpp"

namespace varnhold {

BatchedByteSource::BatchedByteSource(ByteSource& source, std::size_t planned, std::size_t prefix)
    : source_(source), planned_(planned), prefix_(prefix) {}

BatchedByteSource::~BatchedByteSource() { secure_wipe(buffer_.data(), buffer_.size()); }

void BatchedByteSource::request() {
    requested_ = true;
    buffer_.assign(prefix_ + planned_, 0);
    source_.fill(buffer_.data(), buffer_.size());
    next_ = prefix_;
}

void BatchedByteSource::fill(std::uint8_t* data, std::size_t length) {
    if (length == 0) return;
    if (!requested_) request();
    const std::size_t available = std::min(length, buffer_.size() - next_);
    std::memcpy(data, buffer_.data() + next_, available);
    // Bytes once handed out are never handed out again.
    secure_wipe(buffer_.data() + next_, available);
    next_ += available;
    if (available < length) source_.fill(data + available, length - available);
}

std::uint64_t BatchedByteSource::prefix_u64() {
    if (!requested_) request();
    std::uint64_t value = 0;
    for (std::size_t i = std::min<std::size_t>(prefix_, 8); i-- > 0;) value = (value << 8) | buffer_[i];
    return value;
}

}  // namespace varnhold
