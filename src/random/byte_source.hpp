#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace varnhold {

// Where random bytes come from. Production code uses the operating system's EntropySource;
// tests hand the splits a scripted stream so that the exact shares can be checked. A source
// either fills the whole buffer or throws InternalFailure; it never returns short.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual void fill(std::uint8_t* data, std::size_t length) = 0;

protected:
    // Bytes a source already holds, served in order without a call: [ready_, ready_end_). A
    // draw takes its eight from there while there are eight, and calls fill otherwise. A source
    // that holds none (each draw its own request) leaves both null.
    const std::uint8_t* ready_ = nullptr;
    const std::uint8_t* ready_end_ = nullptr;

    friend std::uint64_t random_u64(ByteSource& source);
};

// Eight fresh bytes read little-endian (the first byte is the least significant). Every call is
// its own request to the source, unless the source holds them ready.
inline std::uint64_t random_u64(ByteSource& source) {
    if (source.ready_end_ - source.ready_ >= 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, source.ready_, sizeof word);
        source.ready_ += sizeof word;
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
        return word;
    }
    std::uint8_t bytes[8] = {};
    source.fill(bytes, sizeof bytes);
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

}  // namespace varnhold
