#include "safe/checksum.hpp"

#include <bit>
#include <cstring>

namespace varnhold {
namespace {

constexpr std::uint64_t low32 = 0xFFFFFFFFu;

// x modulo 2^32 - 5 for any 64-bit x: 2^32 = 5 modulo the prime, so two folds bring x below
// 2^32 + 30, and one masked subtraction makes it canonical.
constexpr std::uint64_t reduce(std::uint64_t x) noexcept {
    x = (x & low32) + 5 * (x >> 32);
    x = (x & low32) + 5 * (x >> 32);
    const std::uint64_t less = x - envelope_hash_modulus;
    const std::uint64_t keep = 0 - (less >> 63);  // all ones when x < modulus
    return (x & keep) | (less & ~keep);
}

constexpr std::uint64_t power_mod(std::uint64_t base, unsigned exponent) noexcept {
    std::uint64_t result = 1;
    for (unsigned i = 0; i < exponent; ++i) result = reduce(result * base);
    return result;
}

// The cases the guarantees rest on: the base is neither 0 nor 1, and 2^56 r is not 1.
static_assert(envelope_hash_base > 1 && envelope_hash_base < envelope_hash_modulus);
static_assert(reduce(power_mod(2, 56) * envelope_hash_base) != 1);

std::uint64_t load_block(const char* data, std::size_t length) noexcept {
    std::uint64_t block = 0;
    std::memcpy(&block, data, length);
    if constexpr (std::endian::native == std::endian::big) block = __builtin_bswap64(block);
    return block;
}

// The sum of the eight bytes of a block.
constexpr std::uint64_t byte_sum(std::uint64_t block) noexcept {
    constexpr std::uint64_t lanes = 0x00FF00FF00FF00FFu;
    const std::uint64_t pairs = (block & lanes) + ((block >> 8) & lanes);  // four 16-bit sums
    return (pairs * 0x0001000100010001u) >> 48;  // at most 2040, so the top lane is exact
}

}  // namespace

EnvelopeCheck envelope_check(std::string_view text) noexcept {
    std::uint64_t hash = 0;
    std::uint64_t sum = 0;
    const char* data = text.data();
    std::size_t left = text.size();
    auto absorb = [&](std::uint64_t block) {
        // hash r < (p - 1)^2 and the folded block < 6 2^32, so the sum stays below 2^64.
        hash = reduce(hash * envelope_hash_base + (block & low32) + 5 * (block >> 32));
        sum += byte_sum(block);
    };
    for (; left >= 8; left -= 8, data += 8) absorb(load_block(data, 8));
    if (left > 0) absorb(load_block(data, left));
    return EnvelopeCheck{static_cast<std::uint32_t>(hash), static_cast<std::uint8_t>(sum % 251u)};
}

void write_envelope_check(EnvelopeCheck check, char* out) noexcept {
    const std::uint64_t value = (std::uint64_t{check.hash} << 8) | check.sum;
    for (int i = 0; i < 10; ++i) {
        // Digit d becomes '0' + d, plus 39 more from 10 on ('a' - '0' - 10), without a table.
        const auto digit = static_cast<unsigned>((value >> (36 - 4 * i)) & 0xFu);
        const unsigned letter = (9u - digit) >> 8 & 1u;  // 1 when digit > 9
        out[i] = static_cast<char>('0' + digit + 39u * letter);
    }
}

bool read_envelope_check(std::string_view digits, EnvelopeCheck& out) noexcept {
    if (digits.size() != envelope_check_length) return false;
    std::uint64_t value = 0;
    std::uint64_t bad = 0;
    for (const char c : digits) {
        const auto byte = static_cast<std::uint32_t>(static_cast<unsigned char>(c));
        // In 32 bits a byte below the range wraps to a value of 2^32 - 255 or more, so in 64 bits
        // one subtraction's borrow tests each range.
        const std::uint64_t number = static_cast<std::uint32_t>(byte - '0');
        const std::uint64_t letter = static_cast<std::uint32_t>(byte - 'a');
        const std::uint64_t is_number = (number - 10u) >> 63;
        const std::uint64_t is_letter = (letter - 6u) >> 63;
        bad |= (is_number | is_letter) ^ 1u;
        value = (value << 4) | (number & (0u - is_number)) | ((letter + 10u) & (0u - is_letter));
    }
    out = EnvelopeCheck{static_cast<std::uint32_t>(value >> 8), static_cast<std::uint8_t>(value)};
    return bad == 0;
}

}  // namespace varnhold
