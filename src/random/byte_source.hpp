#pragma once

#include <cstddef>
#include <cstdint>

namespace varnhold {

// Where random bytes come from. Production code uses the operating system's EntropySource;
// tests hand the splits a scripted stream so that the exact shares can be checked. A source
// either fills the whole buffer or throws InternalFailure; it never returns short.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual void fill(std::uint8_t* data, std::size_t length) = 0;
};

// Eight fresh bytes read little-endian (the first byte is the least significant). Every call is
// its own request to the source.
inline std::uint64_t random_u64(ByteSource& source) {
    std::uint8_t bytes[8] = {};
    source.fill(bytes, sizeof bytes);
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

}  // namespace varnhold
