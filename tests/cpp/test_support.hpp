#pragma once

// Helpers shared by the C++ tests. None of them uses the code under test: the references are
// slow and plain, so that a fault in the field or hex code cannot hide behind its own output.

#include <cstdint>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/wipe.hpp"
#include "field/field.hpp"
#include "random/byte_source.hpp"

namespace varnhold::testing {

inline constexpr uint128 reference_modulus = (uint128{1} << 127) - 1;

// Addition and multiplication modulo p of any two 128-bit values: the compiler's remainder, and
// multiplication by doubling and adding, nothing shared with the folds of the field code.
inline uint128 ref_add(uint128 a, uint128 b) {
    return (a % reference_modulus + b % reference_modulus) % reference_modulus;
}

inline uint128 ref_mul(uint128 a, uint128 b) {
    a %= reference_modulus;
    b %= reference_modulus;
    uint128 result = 0;
    for (int bit = 126; bit >= 0; --bit) {
        result = ref_add(result, result);
        if (((b >> bit) & 1) != 0) result = ref_add(result, a);
    }
    return result;
}

// 32 lower-case hex digits, with printf.
inline std::string hex(uint128 v) {
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(v >> 64),
                  static_cast<unsigned long long>(v));
    return text;
}

// Two hex digits per byte, with printf.
inline std::string hex(const SecretBytes& secret) {
    std::string text;
    for (const std::uint8_t byte : secret.bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

// A 32-byte secret whose byte i is first + step * i (mod 256): 00 01 02 ... by default.
inline std::string counting_secret(unsigned first = 0, unsigned step = 1) {
    std::string secret(32, '\0');
    for (unsigned i = 0; i < 32; ++i) secret[i] = static_cast<char>(first + step * i);
    return secret;
}

// Hands out a fixed byte script, then `fill_after` for every further byte (or throws when that
// is negative); counts what was asked.
class ScriptedSource final : public ByteSource {
public:
    explicit ScriptedSource(std::vector<std::uint8_t> script, int fill_after = -1)
        : script_(std::move(script)), fill_after_(fill_after) {}

    void fill(std::uint8_t* data, std::size_t length) override {
        ++requests;
        request_lengths.push_back(length);
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
    std::vector<std::size_t> request_lengths;

private:
    std::vector<std::uint8_t> script_;
    int fill_after_;
};

// Endless deterministic bytes from a seeded generator, for many random trials.
class GeneratorSource final : public ByteSource {
public:
    explicit GeneratorSource(std::uint64_t seed) : engine(seed) {}
    void fill(std::uint8_t* data, std::size_t length) override {
        for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(engine());
    }
    std::mt19937_64 engine;
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
