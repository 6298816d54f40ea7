#include "field/field_hex.hpp"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "field/hex_word.hpp"

namespace varnhold {
namespace {

SharingError invalid_hex(std::string_view label) {
    std::string message = "Invalid ";
    message.append(label);
    message.append(": expected exactly 32 hex chars");
    return SharingError{std::move(message)};
}

#if defined(__SSE2__)

// Sixteen digits at a time in one vector register (SSE2 is part of every x86-64 baseline).
void write_sixteen_digits(std::uint64_t v, char* out) noexcept {
    // Big-endian bytes, so that the most significant byte comes first in the register.
    const __m128i bytes = _mm_cvtsi64_si128(static_cast<long long>(__builtin_bswap64(v)));
    const __m128i low_nibbles = _mm_set1_epi8(0x0f);
    const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibbles);
    const __m128i low = _mm_and_si128(bytes, low_nibbles);
    // Each byte's high nibble, then its low nibble: the digits' order in the text.
    const __m128i nibbles = _mm_unpacklo_epi8(high, low);
    const __m128i letters =
        _mm_and_si128(_mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9)), _mm_set1_epi8('a' - '0' - 10));
    const __m128i digits = _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), letters);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), digits);
}

// Reads sixteen digit characters, first one most significant. Bytes that are not digits of
// either case leave zero bits in `valid`; their nibble is meaningless then.
std::uint64_t read_sixteen_digits(const char* text, __m128i& valid) noexcept {
    const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    // Signed comparisons: bytes of 0x80 and above are negative and fail both ranges.
    const __m128i decimal = _mm_and_si128(_mm_cmpgt_epi8(chars, _mm_set1_epi8('0' - 1)),
                                          _mm_cmplt_epi8(chars, _mm_set1_epi8('9' + 1)));
    // Setting bit 5 maps 'A'..'F' onto 'a'..'f'; the decimal test above used the unchanged byte.
    const __m128i folded = _mm_or_si128(chars, _mm_set1_epi8(0x20));
    const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)),
                                         _mm_cmplt_epi8(folded, _mm_set1_epi8('f' + 1)));
    valid = _mm_and_si128(valid, _mm_or_si128(decimal, letter));
    // '0'..'9' carry their value in the low nibble, 'a'..'f' and 'A'..'F' their value minus 9.
    const __m128i nibbles = _mm_add_epi8(_mm_and_si128(chars, _mm_set1_epi8(0x0f)),
                                         _mm_and_si128(letter, _mm_set1_epi8(9)));
    // Within each 16-bit lane the first digit is the low byte: it becomes the high nibble.
    const __m128i pairs = _mm_and_si128(
        _mm_or_si128(_mm_slli_epi16(nibbles, 4), _mm_srli_epi16(nibbles, 8)), _mm_set1_epi16(0xff));
    const __m128i packed = _mm_packus_epi16(pairs, pairs);
    return __builtin_bswap64(static_cast<std::uint64_t>(_mm_cvtsi128_si64(packed)));
}

#endif

// The last step of every parse: the two ways to fail, in their fixed order.
Result<FieldElement> checked_value(std::uint64_t high, std::uint64_t low, bool all_digits,
                                   std::string_view label) {
    // value >= p exactly when bit 127 is set or every bit below it is (then value + 1 reaches
    // 2^127; for 2^128 - 1 it wraps, but bit 127 is set there).
    const uint128 value = (static_cast<uint128>(high) << 64) | low;
    const auto too_large = static_cast<std::uint64_t>((value >> 127) | ((value + 1) >> 127));
    if (!all_digits) return invalid_hex(label);
    if (too_large != 0) {
        std::string message = "Invalid ";
        message.append(label);
        message.append(": value must be < 2^127-1");
        return SharingError{std::move(message)};
    }
    return FieldElement{value};
}

}  // namespace

void write_field_hex_words(FieldElement v, char* out) noexcept {
    write_hex_u64(v.high(), out);
    write_hex_u64(v.low(), out + 16);
}

Result<FieldElement> parse_field_hex_words(std::string_view text, std::string_view label) {
    if (text.size() != field_hex_length) return invalid_hex(label);
    // All 32 bytes are read whatever they hold; validity is gathered on the way and tested once.
    std::uint64_t invalid = 0;
    const char* const digits = text.data();
    const std::uint64_t high = read_hex_u64<HexCase::either>(digits, invalid);
    const std::uint64_t low = read_hex_u64<HexCase::either>(digits + 16, invalid);
    return checked_value(high, low, invalid == 0, label);
}

void write_field_hex(FieldElement v, char* out) noexcept {
#if defined(__SSE2__)
    write_sixteen_digits(v.high(), out);
    write_sixteen_digits(v.low(), out + 16);
#else
    write_field_hex_words(v, out);
#endif
}

std::string format_field_hex(FieldElement v) {
    std::string text(field_hex_length, '0');
    write_field_hex(v, text.data());
    return text;
}

Result<FieldElement> parse_field_hex(std::string_view text, std::string_view label) {
#if defined(__SSE2__)
    if (text.size() != field_hex_length) return invalid_hex(label);
    __m128i valid = _mm_set1_epi8(-1);
    const std::uint64_t high = read_sixteen_digits(text.data(), valid);
    const std::uint64_t low = read_sixteen_digits(text.data() + 16, valid);
    return checked_value(high, low, _mm_movemask_epi8(valid) == 0xffff, label);
#else
    return parse_field_hex_words(text, label);
#endif
}

namespace {

// Reads the value of 32 digits at `digits`, gathering into `bad` (nonzero) whether any digit is
// not one or the value is not below p; no branch depends on the digits.
inline FieldElement read_value_gathering(const char* digits, std::uint64_t& bad) noexcept {
#if defined(__SSE2__)
    __m128i valid = _mm_set1_epi8(-1);
    const std::uint64_t high = read_sixteen_digits(digits, valid);
    const std::uint64_t low = read_sixteen_digits(digits + 16, valid);
    bad |= static_cast<std::uint64_t>(_mm_movemask_epi8(valid) ^ 0xffff);
#else
    std::uint64_t invalid = 0;
    const std::uint64_t high = read_hex_u64<HexCase::either>(digits, invalid);
    const std::uint64_t low = read_hex_u64<HexCase::either>(digits + 16, invalid);
    bad |= invalid;
#endif
    const uint128 value = (static_cast<uint128>(high) << 64) | low;
    bad |= static_cast<std::uint64_t>((value >> 127) | ((value + 1) >> 127));
    // A value of p or more is reported through `bad` and never used. Masked, it is at most p; the
    // verify build, which checks that every element is below p, also reduces it (without a
    // branch), so that refused input never stops it. Elsewhere that step would be wasted work.
#if defined(VARNHOLD_VERIFY)
    return field_canonical(value & field_modulus);
#else
    return FieldElement{value & field_modulus};
#endif
}

// The one test of what the readers below gathered; whether the values are valid is the public
// outcome of the parse. It is a branch here, not a flag for the caller to test, so that the test
// stays inside the codec (the empty statement only keeps the compiler from turning the branch
// into a flag).
[[gnu::noinline]] bool passes_single_test(std::uint64_t bad) noexcept {
    if (bad != 0) {
        __asm__ __volatile__("");
        return false;
    }
    return true;
}

}  // namespace

bool read_field_hex_values(const std::string_view* texts, std::size_t count,
                           FieldElement* values) noexcept {
    std::uint64_t lengths = 0;
    for (std::size_t i = 0; i < count; ++i) lengths |= texts[i].size() ^ field_hex_length;
    if (lengths != 0) return false;
    // Every value is read before the one test at the end.
    std::uint64_t bad = 0;
    for (std::size_t i = 0; i < count; ++i) values[i] = read_value_gathering(texts[i].data(), bad);
    return passes_single_test(bad);
}

bool read_field_hex_strided(const char* first, std::size_t stride, std::size_t count,
                            FieldElement* values) noexcept {
    std::uint64_t bad = 0;
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = read_value_gathering(first + i * stride, bad);
    }
    return passes_single_test(bad);
}

}  // namespace varnhold
