#include "common/decimal.hpp"

#include <cstdint>

namespace varnhold {
namespace {

// Digits are produced from the right; a value below 2^64 (every index a split writes) is divided
// in 64-bit words, which the compiler turns into a multiplication, instead of in 128 bits.
std::size_t write_word_decimal(std::uint64_t value, char* out) noexcept {
    char reversed[20];
    std::size_t count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    } while (value != 0);
    for (std::size_t i = 0; i < count; ++i) out[i] = reversed[count - 1 - i];
    return count;
}

}  // namespace

std::size_t write_decimal(uint128 value, char* out) noexcept {
    if ((value >> 64) == 0) return write_word_decimal(static_cast<std::uint64_t>(value), out);
    // 10^19 is the largest power of ten below 2^64: split into words of 19 digits each.
    constexpr std::uint64_t nineteen_digits = 10000000000000000000ULL;
    const auto last = static_cast<std::uint64_t>(value % nineteen_digits);
    std::size_t count = write_decimal(value / nineteen_digits, out);
    char padded[20];
    const std::size_t written = write_word_decimal(last, padded);
    for (std::size_t i = written; i < 19; ++i) out[count++] = '0';
    for (std::size_t i = 0; i < written; ++i) out[count++] = padded[i];
    return count;
}

std::string to_decimal(uint128 value) {
    char digits[40];
    return std::string(digits, write_decimal(value, digits));
}

std::optional<uint128> parse_decimal(std::string_view digits) noexcept {
    const DecimalPrefix read = read_decimal_prefix(digits);
    if (digits.empty() || read.length != digits.size() || read.overflow) return std::nullopt;
    return read.value;
}

}  // namespace varnhold
