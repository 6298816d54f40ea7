#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "field/field.hpp"
#include "random/byte_source.hpp"

namespace varnhold::testing {

// Hands out a fixed byte script, then `fill_after` for every further byte; counts what was asked.
class ScriptedSource final : public ByteSource {
public:
    explicit ScriptedSource(std::vector<std::uint8_t> script, int fill_after = -1)
        : script_(std::move(script)), fill_after_(fill_after) {}

    void fill(std::uint8_t* data, std::size_t length) override {
        ++requests;
        for (std::size_t i = 0; i < length; ++i, ++consumed) {
            if (consumed < script_.size()) {
                data[i] = script_[consumed];
            } else if (fill_after_ >= 0) {
                data[i] = static_cast<std::uint8_t>(fill_after_);
            } else {
                throw std::logic_error("scripted source exhausted");
            }
        }
    }

    std::size_t consumed = 0;
    std::size_t requests = 0;

private:
    std::vector<std::uint8_t> script_;
    int fill_after_;
};

// The 16 bytes that make random_field_element return v (v < 2^127): low word then high word,
// each little-endian.
inline std::vector<std::uint8_t> element_bytes(uint128 v) {
    std::vector<std::uint8_t> bytes(16);
    for (int i = 0; i < 16; ++i)
        bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    return bytes;
}

}  // namespace varnhold::testing
