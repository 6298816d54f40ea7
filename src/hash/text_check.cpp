#include "hash/text_check.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "field/hex_word.hpp"
#include "hash/crc64.hpp"

namespace varnhold {

namespace {

struct Scan {
    std::uint64_t sum = 0;
    bool printable = true;
};

// The byte sum and whether every byte is 0x21..0x7E, in one pass: sixteen bytes a turn where the
// target has SSE2 (the sum by one instruction, the range by two signed comparisons, in which a
// byte of 0x80 or more is negative), then byte by byte, where a byte outside the range makes one
// of two differences negative. Only the length decides the loops.
Scan scan(std::string_view text) noexcept {
    const char* data = text.data();
    std::size_t size = text.size();
    Scan result;
    std::uint32_t outside = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i below = _mm_set1_epi8(0x21 - 1);
    const __m128i above = _mm_set1_epi8(0x7E + 1);
    __m128i sums = zero;
    __m128i inside = _mm_set1_epi8(-1);
    for (; size >= 16; data += 16, size -= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
        sums = _mm_add_epi64(sums, _mm_sad_epu8(block, zero));
        inside = _mm_and_si128(
            inside, _mm_and_si128(_mm_cmpgt_epi8(block, below), _mm_cmplt_epi8(block, above)));
    }
    result.sum = static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
                 static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    outside = static_cast<std::uint32_t>(_mm_movemask_epi8(inside)) ^ 0xFFFFu;
#endif
    for (std::size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<std::int32_t>(static_cast<unsigned char>(data[i]));
        result.sum += static_cast<std::uint32_t>(byte);
        outside |= static_cast<std::uint32_t>((byte - 0x21) | (0x7E - byte)) >> 16;
    }
    result.printable = outside == 0;
    return result;
}

TextCheck check_of(std::string_view text, std::uint64_t sum) noexcept {
    return TextCheck{crc64(text), static_cast<std::uint8_t>(sum % 251u)};
}

}  // namespace

bool all_printable_ascii(std::string_view text) noexcept { return scan(text).printable; }

TextCheck text_check(std::string_view text) noexcept { return check_of(text, scan(text).sum); }

bool write_text_check(std::string_view text, char* out) noexcept {
    const Scan scanned = scan(text);
    const TextCheck check = check_of(text, scanned.sum);
    write_hex_word(static_cast<std::uint32_t>(check.crc >> 32), out);
    write_hex_word(static_cast<std::uint32_t>(check.crc), out + 8);
    char sum[8];
    write_hex_word(check.sum, sum);
    out[16] = sum[6];
    out[17] = sum[7];
    return scanned.printable;
}

}  // namespace varnhold
