#include "safe/checksum.hpp"

#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "field/field.hpp"
#include "field/hex_word.hpp"

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

// Blocks summed before one reduction; the powers r^0 .. r^run_blocks modulo the prime.
constexpr std::size_t run_blocks = 32;
constexpr auto base_powers = [] {
    std::array<std::uint64_t, run_blocks + 1> powers{};
    powers[0] = 1;
    for (std::size_t i = 1; i <= run_blocks; ++i)
        powers[i] = reduce(powers[i - 1] * envelope_hash_base);
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

// The sum of the text's bytes: sixteen at a time where the target has SSE2, each sixteen summed
// by one instruction; the lengths (public) decide the loop and the masking of the last sixteen,
// never the bytes.
std::uint64_t byte_sum(const char* data, std::size_t size) noexcept {
    std::uint64_t sum = 0;
#if defined(__SSE2__)
    if (size >= 16) {
        const __m128i zero = _mm_setzero_si128();
        __m128i acc = zero;
        std::size_t i = 0;
        for (; i + 16 <= size; i += 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
            acc = _mm_add_epi64(acc, _mm_sad_epu8(block, zero));
        }
        if (i != size) {
            // The last sixteen bytes, of which only the final `fresh` were not counted yet.
            alignas(16) static constexpr unsigned char keep_last[32] = {
                0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
                0,    0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
            const std::size_t fresh = size - i;
            const __m128i last =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + size - 16));
            const __m128i keep =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(keep_last + fresh));
            acc = _mm_add_epi64(acc, _mm_sad_epu8(_mm_and_si128(last, keep), zero));
        }
        return static_cast<std::uint64_t>(_mm_cvtsi128_si64(acc)) +
               static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
    }
#endif
    for (std::size_t i = 0; i < size; ++i) sum += static_cast<unsigned char>(data[i]);
    return sum;
}

}  // namespace

EnvelopeCheck envelope_check(std::string_view text) noexcept {
    // Horner's rule over a run of blocks w_0 .. w_(n-1) is h r^n + sum w_j r^(n-1-j): each run of
    // up to run_blocks blocks is summed in 128 bits against the powers of the base and reduced
    // once, which gives the same hash as reducing after every block. Only the text's last block
    // may be short; the lengths (public) decide the loops, never the bytes.
    std::uint64_t hash = 0;
    const char* data = text.data();
    const std::size_t tail = text.size() % 8;
    std::size_t blocks = (text.size() + 7) / 8;
    while (blocks > 0) {
        const std::size_t run = blocks < run_blocks ? blocks : run_blocks;
        blocks -= run;
        const std::size_t full = blocks == 0 && tail != 0 ? run - 1 : run;
        uint128 acc = static_cast<uint128>(hash) * base_powers[run];
        const std::uint64_t* power = base_powers.data() + run;
        // The folded block is below 6 2^32 and each power below 2^32, so 32 terms and the carried
        // hash stay far below 2^128.
        const auto add_block = [&](std::uint64_t block) {
            acc += static_cast<uint128>((block & low32) + 5 * (block >> 32)) * *--power;
        };
        for (const char* end = data + 8 * full; data != end; data += 8)
            add_block(load_block(data, 8));
        if (full != run) {
            // The short last block: in a text of eight bytes or more, the last eight bytes read
            // as one word and shifted down, which leaves the zero padding above them.
            add_block(text.size() >= 8 ? load_block(data + tail - 8, 8) >> (64 - 8 * tail)
                                       : load_block(data, tail));
            data += tail;
        }
        hash = reduce_wide(acc);
    }
    const std::uint64_t sum = byte_sum(text.data(), text.size());
    return EnvelopeCheck{static_cast<std::uint32_t>(hash), static_cast<std::uint8_t>(sum % 251u)};
}

void write_envelope_check(EnvelopeCheck check, char* out) noexcept {
    // The hash (8 digits), then the sum (2): the sum's digits are the low half of a word.
    write_hex_word(check.hash, out);
    char sum[8];
    write_hex_word(check.sum, sum);
    out[8] = sum[6];
    out[9] = sum[7];
}

bool read_envelope_check(std::string_view digits, EnvelopeCheck& out) noexcept {
    if (digits.size() != envelope_check_length) return false;
    // The hash's eight digits, then the last eight, of which the sum's two are the low byte.
    std::uint64_t invalid = 0;
    const std::uint32_t hash = read_hex_word<HexCase::lower>(digits.data(), invalid);
    const std::uint32_t last = read_hex_word<HexCase::lower>(digits.data() + 2, invalid);
    out = EnvelopeCheck{hash, static_cast<std::uint8_t>(last)};
    return invalid == 0;
}

}  // namespace varnhold
