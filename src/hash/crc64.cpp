#include "hash/crc64.hpp"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace varnhold {
namespace {

// Polynomials of degree below 64 in a word, coefficient i in bit i ("normal" order); the
// register of the CRC holds them bit-reversed ("reflected"), coefficient 63 in bit 0.

// x^n modulo P.
constexpr std::uint64_t x_power_mod(unsigned n) noexcept {
    std::uint64_t r = 1;
    for (unsigned i = 0; i < n; ++i) r = (r << 1) ^ ((r >> 63) != 0 ? crc64_polynomial : 0);
    return r;
}

constexpr std::uint64_t reflect(std::uint64_t x) noexcept {
    std::uint64_t r = 0;
    for (int i = 0; i < 64; ++i) r |= ((x >> i) & 1) << (63 - i);
    return r;
}

static_assert(reflect(crc64_polynomial) == crc64_reflected_polynomial);

// The register after eight shifts of a register holding only bit i of its low byte: the
// portable step adds these for the low byte's set bits instead of looking the byte up.
constexpr auto byte_step_terms = [] {
    std::array<std::uint64_t, 8> terms{};
    for (int i = 0; i < 8; ++i) {
        std::uint64_t r = std::uint64_t{1} << i;
        for (int s = 0; s < 8; ++s) r = (r >> 1) ^ ((r & 1) != 0 ? crc64_reflected_polynomial : 0);
        terms[static_cast<std::size_t>(i)] = r;
    }
    return terms;
}();

// One byte already added into the register's low byte: the register times x^8 modulo P. Each
// bit becomes a mask by an arithmetic shift, the same instructions whatever its value.
inline std::uint64_t step_byte(std::uint64_t c) noexcept {
    std::uint64_t next = c >> 8;
    for (int i = 0; i < 8; ++i) {
        const auto mask =
            static_cast<std::uint64_t>(static_cast<std::int64_t>(c << (63 - i)) >> 63);
        next ^= mask & byte_step_terms[static_cast<std::size_t>(i)];
    }
    return next;
}

inline std::uint64_t load_le64(const char* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

// The register over the bytes that remain after whole words, one byte at a time.
inline std::uint64_t portable_bytes(std::uint64_t c, const char* data, std::size_t size) noexcept {
    for (std::size_t i = 0; i < size; ++i) c = step_byte(c ^ static_cast<unsigned char>(data[i]));
    return c;
}

inline std::uint64_t portable_words(std::uint64_t c, const char* data, std::size_t words) noexcept {
    for (std::size_t w = 0; w < words; ++w) {
        c ^= load_le64(data + 8 * w);
        for (int b = 0; b < 8; ++b) c = step_byte(c);
    }
    return c;
}

}  // namespace

std::uint64_t crc64_portable(std::string_view data) noexcept {
    const std::size_t words = data.size() / 8;
    std::uint64_t c = portable_words(~std::uint64_t{0}, data.data(), words);
    c = portable_bytes(c, data.data() + 8 * words, data.size() % 8);
    return ~c;
}

#if defined(__x86_64__)
namespace {

// The carry-less path works on reflected registers, where the product of two reflected 64-bit
// polynomials A and B comes out of PCLMULQDQ as the reflection of A B shifted down one bit:
// bit k of the 128-bit product is coefficient 126 - k of A B.
//
// Folding: a 128-bit remainder R = Rh x^64 + Rl, followed by sixteen more bytes N, becomes
// R x^128 + N, which is congruent modulo P to Rh (x^192 mod P) + Rl (x^128 mod P) + N. With the
// constants x^191 mod P and x^127 mod P (reflected), the one-bit shift of the product supplies
// the missing factor x, so each product is already the reflected 128-bit term.
constexpr std::uint64_t fold_high = reflect(x_power_mod(191));
constexpr std::uint64_t fold_low = reflect(x_power_mod(127));
// The same over 64 bytes (R x^512 + N): four remainders folded side by side keep four products
// in flight where one remainder waits on each product before the next.
constexpr std::uint64_t fold4_high = reflect(x_power_mod(575));
constexpr std::uint64_t fold4_low = reflect(x_power_mod(511));

// Barrett reduction of V x^64 for V of degree below 64: the quotient is
// Q = V + floor(V mu_low / x^64) with mu = x^64 + mu_low = floor(x^128 / P), and the remainder
// the low 64 coefficients of Q P_low, with P_low = P - x^64.
constexpr std::uint64_t barrett_mu_low = [] {
    // Long division of x^128 by P: the quotient's coefficient x^64 is 1, leaving x^64 P_low;
    // each further coefficient is the remainder's top bit before it is shifted.
    std::uint64_t r = crc64_polynomial;
    std::uint64_t q = 0;
    for (int j = 63; j >= 0; --j) {
        const std::uint64_t top = r >> 63;
        q |= top << j;
        r = (r << 1) ^ (top != 0 ? crc64_polynomial : 0);
    }
    return reflect(q);
}();

struct Product {
    std::uint64_t low;
    std::uint64_t high;
};

__attribute__((target("pclmul"))) inline Product clmul(std::uint64_t a, std::uint64_t b) noexcept {
    const __m128i p = _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(a)),
                                           _mm_cvtsi64_si128(static_cast<long long>(b)), 0x00);
    return {static_cast<std::uint64_t>(_mm_cvtsi128_si64(p)),
            static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(p, p)))};
}

// The reflected register of V x^64 mod P, for V reflected in v. With the product's one-bit
// shift undone, its low word holds the reflected high half of the product and its high word
// the reflected low half.
__attribute__((target("pclmul"))) inline std::uint64_t barrett(std::uint64_t v) noexcept {
    const std::uint64_t q = v ^ (clmul(v, barrett_mu_low).low << 1);
    const Product r = clmul(q, crc64_reflected_polynomial);
    return (r.high << 1) | (r.low >> 63);
}

inline __m128i load128(const char* at) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// remainder times the distance the constants stand for, plus the next sixteen bytes.
__attribute__((target("pclmul"))) inline __m128i fold(__m128i remainder, __m128i by,
                                                      __m128i next) noexcept {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(remainder, by, 0x00),
                                       _mm_clmulepi64_si128(remainder, by, 0x11)),
                         next);
}

}  // namespace

__attribute__((target("pclmul"))) std::uint64_t crc64_clmul(std::string_view text) noexcept {
    const char* data = text.data();
    std::size_t size = text.size();
    std::uint64_t c = ~std::uint64_t{0};
    if (size >= 16) {
        // The register joins the first word; a reflected 128-bit value loads little-endian,
        // its first word (Rh) in the low lane.
        const __m128i constants =
            _mm_set_epi64x(static_cast<long long>(fold_low), static_cast<long long>(fold_high));
        __m128i r = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data)),
                                  _mm_cvtsi64_si128(static_cast<long long>(c)));
        data += 16;
        size -= 16;
        if (size >= 48 + 64) {
            // Four remainders, one for each 16 bytes of a 64-byte turn, then folded into one.
            const __m128i constants4 = _mm_set_epi64x(static_cast<long long>(fold4_low),
                                                      static_cast<long long>(fold4_high));
            __m128i r1 = load128(data);
            __m128i r2 = load128(data + 16);
            __m128i r3 = load128(data + 32);
            data += 48;
            size -= 48;
            for (; size >= 64; data += 64, size -= 64) {
                r = fold(r, constants4, load128(data));
                r1 = fold(r1, constants4, load128(data + 16));
                r2 = fold(r2, constants4, load128(data + 32));
                r3 = fold(r3, constants4, load128(data + 48));
            }
            r = fold(fold(fold(r, constants, r1), constants, r2), constants, r3);
        }
        for (; size >= 16; data += 16, size -= 16) r = fold(r, constants, load128(data));
        // R x^64 = Rh x^128 + Rl x^64, congruent to Rh (x^128 mod P) + Rl x^64 = T: its high
        // word reduced by Barrett, its low word added.
        const __m128i t =
            _mm_xor_si128(_mm_clmulepi64_si128(r, constants, 0x10), _mm_srli_si128(r, 8));
        c = barrett(static_cast<std::uint64_t>(_mm_cvtsi128_si64(t))) ^
            static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(t, t)));
    }
    if (size >= 8) {
        c = barrett(c ^ load_le64(data));
        data += 8;
        size -= 8;
    }
    if (size > 0) {
        // The last 1 to 7 bytes join the register's low bytes, as in the portable step; the
        // register then times x^(8 size) has degree below 128: laid out as sixteen bytes (zeros,
        // then the register) its high word is Barrett reduced and its low word added.
        std::uint64_t tail = 0;
        std::memcpy(&tail, data, size);
        c ^= tail;
        unsigned char block[16] = {};
        std::memcpy(block + 8 - size, &c, sizeof c);
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
        c = barrett(static_cast<std::uint64_t>(_mm_cvtsi128_si64(v))) ^
            static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v)));
    }
    return ~c;
}

bool crc64_clmul_available() noexcept {
    // Asked of the processor itself (leaf 1, ECX bit 1) rather than through
    // __builtin_cpu_supports: the runtime the portable wheel links gives that builtin a processor
    // model that is never filled in, so it answered "no" on every machine.
    static const bool available = [] {
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_PCLMUL) != 0;
    }();
    return available;
}

std::uint64_t crc64(std::string_view data) noexcept {
    static const auto path = crc64_clmul_available() ? crc64_clmul : crc64_portable;
    return path(data);
}

#else

bool crc64_clmul_available() noexcept { return false; }

std::uint64_t crc64(std::string_view data) noexcept { return crc64_portable(data); }

#endif

}  // namespace varnhold
