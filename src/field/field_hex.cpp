#include "field/field_hex.hpp"

#include <array>
#include <cstdint>

namespace varnhold {
namespace {

// Two lowercase digits per byte value, so that every byte of an element costs one lookup.
constexpr std::array<char, 512> make_byte_digits() {
    constexpr char digits[] = "0123456789abcdef";
    std::array<char, 512> table{};
    for (std::size_t i = 0; i < 256; ++i) {
        table[2 * i] = digits[i >> 4];
        table[2 * i + 1] = digits[i & 15];
    }
    return table;
}
constexpr std::array<char, 512> byte_digits = make_byte_digits();

constexpr std::uint8_t not_a_digit = 0xff;

constexpr std::array<std::uint8_t, 256> make_digit_values() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table) entry = not_a_digit;
    for (int c = '0'; c <= '9'; ++c)
        table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) {
        table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'a' + 10);
        table[static_cast<std::size_t>(c - 'a' + 'A')] = static_cast<std::uint8_t>(c - 'a' + 10);
    }
    return table;
}
constexpr std::array<std::uint8_t, 256> digit_values = make_digit_values();

SharingError invalid_hex(std::string_view label) {
    std::string message = "Invalid ";
    message.append(label);
    message.append(": expected exactly 32 hex chars");
    return SharingError{std::move(message)};
}

}  // namespace

void write_field_hex(FieldElement v, char* out) noexcept {
    uint128 value = v.value;
    for (int byte = 15; byte >= 0; --byte) {
        const std::size_t b = static_cast<std::size_t>(value & 0xff);
        out[2 * byte] = byte_digits[2 * b];
        out[2 * byte + 1] = byte_digits[2 * b + 1];
        value >>= 8;
    }
}

std::string format_field_hex(FieldElement v) {
    std::string text(field_hex_length, '0');
    write_field_hex(v, text.data());
    return text;
}

Result<FieldElement> parse_field_hex(std::string_view text, std::string_view label) {
    if (text.size() != field_hex_length) return invalid_hex(label);
    // Two 64-bit halves: cheaper shifts than one 128-bit value. An invalid byte maps to 0xff,
    // which survives the OR of all digits (valid ones never exceed 0x0f).
    std::uint64_t halves[2] = {0, 0};
    std::uint8_t seen = 0;
    for (std::size_t half = 0; half < 2; ++half) {
        std::uint64_t value = 0;
        for (std::size_t i = 16 * half; i < 16 * half + 16; ++i) {
            const std::uint8_t digit = digit_values[static_cast<unsigned char>(text[i])];
            seen |= digit;
            value = (value << 4) | (digit & 0x0f);
        }
        halves[half] = value;
    }
    if (seen == not_a_digit) return invalid_hex(label);
    const uint128 value = (static_cast<uint128>(halves[0]) << 64) | halves[1];
    if (value >= field_modulus) {
        std::string message = "Invalid ";
        message.append(label);
        message.append(": value must be < 2^127-1");
        return SharingError{std::move(message)};
    }
    return FieldElement{value};
}

}  // namespace varnhold
