#include "safe/checksum.hpp"

#include <array>
#include <bit>
#include <cstring>

#include "field/field.hpp"

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

constexpr std::uint64_t byte_lanes = 0x00FF00FF00FF00FFu;

// Blocks summed before one reduction; the powers r^0 .. r^run_blocks modulo the prime.
constexpr std::size_t run_blocks = 32;
constexpr auto base_powers = [] {
    std::array<std::uint64_t, run_blocks + 1> powers{};
    powers[0] = 1;
    for (std::size_t i = 1; i <= run_blocks; ++i) powers[i] = reduce(powers[i - 1] * envelope_hash_base);
    return powers;
}();

// x modulo the prime for x below 2^80: 2^64 = 25 modulo the prime.
constexpr std::uint64_t reduce_wide(uint128 x) noexcept {
    const auto low = static_cast<std::uint64_t>(x);
    const auto high = static_cast<std::uint64_t>(x >> 64);  // below 2^16
    return reduce(reduce(low) + 25 * high);
}

std::uint64_t load_block(const char* data, std::size_t length) noexcept {
    std::uint64_t block = 0;
    std::memcpy(&block, data, length);
    if constexpr (std::endian::native == std::endian::big) block = __builtin_bswap64(block);
    return block;
}

}  // namespace

EnvelopeCheck envelope_check(std::string_view text) noexcept {
    // Horner's rule over a run of blocks w_0 .. w_(n-1) is h r^n + sum w_j r^(n-1-j): each run of
    // up to run_blocks blocks is summed in 128 bits against the powers of the base and reduced
    // once, which gives the same hash as reducing after every block.
    std::uint64_t hash = 0;
    std::uint64_t sum = 0;
    const char* data = text.data();
    std::size_t blocks = (text.size() + 7) / 8;
    std::size_t left = text.size();
    while (blocks > 0) {
        const std::size_t run = blocks < run_blocks ? blocks : run_blocks;
        uint128 acc = static_cast<uint128>(hash) * base_powers[run];
        std::uint64_t lanes = 0;
        for (std::size_t j = 0; j < run; ++j) {
            const std::size_t length = left < 8 ? left : 8;
            const std::uint64_t block = length == 8 ? load_block(data, 8) : load_block(data, length);
            data += length;
            left -= length;
            // The folded block is below 6 2^32 and each power below 2^32, so 32 terms and the
            // carried hash stay far below 2^128.
            acc += static_cast<uint128>((block & low32) + 5 * (block >> 32)) *
                   base_powers[run - 1 - j];
            lanes += (block & byte_lanes) + ((block >> 8) & byte_lanes);  // four 16-bit sums
        }
        hash = reduce_wide(acc);
        // Each lane gains at most 510 per block: 32 blocks stay below 2^16.
        sum += (lanes * 0x0001000100010001u) >> 48 & 0xFFFFu;
        blocks -= run;
    }
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
