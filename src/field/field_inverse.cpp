#include "field/field.hpp"

namespace varnhold {
namespace {

constexpr uint128 word_limit = static_cast<uint128>(1) << 64;

int trailing_zeros(uint128 v) noexcept {
    const auto low = static_cast<std::uint64_t>(v);
    if (low != 0) return __builtin_ctzll(low);
    return 64 + __builtin_ctzll(static_cast<std::uint64_t>(v >> 64));
}

// c * 2^-t mod p for canonical c and 0 <= t < 127. 2^127 = 1 (mod p), so dividing by 2^t turns
// the t low bits of a 127-bit value into its top bits: a rotation.
uint128 halve_times(uint128 c, int t) noexcept {
    return ((c >> t) | (c << (127 - t))) & field_modulus;
}

// Binary extended Euclid on (p, x) for any nonzero canonical x, with every halving of a
// cofactor deferred to the end. Invariants, with `shifts` the number of bits stripped so far:
// p = u * s + v * r (so r, s <= p: plain 128-bit sums and shifts, no field arithmetic in the
// loop), x * r = -u * 2^shifts and x * s = v * 2^shifts (mod p). u and v are odd after each
// strip, so their difference is even and every step strips at least one bit. It ends at
// u = v = gcd = 1, where x^-1 = -r * 2^-shifts; 2^127 = 1 (mod p), so that division is a rotation.
FieldElement inverse_by_halving(uint128 x) noexcept {
    uint128 u = field_modulus;
    uint128 v = x;
    uint128 r = 0;
    uint128 s = 1;
    int shifts = trailing_zeros(v);
    v >>= shifts;
    // Once both fit in a word the rest of the loop runs on words; the cofactors stay wide.
    while (u != v && ((u | v) >> 64) != 0) {
        if (u > v) {
            u -= v;
            r += s;
            const int t = trailing_zeros(u);
            u >>= t;
            s <<= t;
            shifts += t;
        } else {
            v -= u;
            s += r;
            const int t = trailing_zeros(v);
            v >>= t;
            r <<= t;
            shifts += t;
        }
    }
    auto uw = static_cast<std::uint64_t>(u);
    auto vw = static_cast<std::uint64_t>(v);
    while (uw != vw) {
        if (uw > vw) {
            uw -= vw;
            r += s;
            const int t = __builtin_ctzll(uw);
            uw >>= t;
            s <<= t;
            shifts += t;
        } else {
            vw -= uw;
            s += r;
            const int t = __builtin_ctzll(vw);
            vw >>= t;
            r <<= t;
            shifts += t;
        }
    }
    // r >= 1 here (p = s + r with u = v = 1, and s < p once any step has run), so p - r is
    // canonical.
    return FieldElement{halve_times(field_modulus - r, shifts % 127)};
}

// The inverse of 1 <= d < 2^64. One division brings (p, d) down to (d, p mod d), after which
// Euclid runs on words; only the coefficient of d, kept mod p, needs field arithmetic.
FieldElement inverse_of_word(std::uint64_t d) noexcept {
    if (d == 1) return FieldElement{1};
    const uint128 quotient = field_modulus / d;
    // p - quotient * d = p mod d, so p mod d = -quotient * d (mod p).
    std::uint64_t a = d;
    std::uint64_t b = static_cast<std::uint64_t>(field_modulus % d);
    FieldElement ca{1};
    FieldElement cb = field_sub(FieldElement{}, FieldElement{quotient});
    while (b != 0) {
        const std::uint64_t q = a / b;
        const std::uint64_t r = a - q * b;
        const FieldElement cr = field_sub(ca, field_mul_word(cb, q));
        a = b;
        b = r;
        ca = cb;
        cb = cr;
    }
    // p is prime and d < p, so the gcd a is 1 and ca * d = 1.
    return ca;
}

}  // namespace

FieldElement field_inv_public(FieldElement x) noexcept {
    if (x.value == 0) return x;
    if (x.value < word_limit) return inverse_of_word(static_cast<std::uint64_t>(x.value));
    const uint128 negated = field_modulus - x.value;
    if (negated < word_limit) {
        return field_sub(FieldElement{}, inverse_of_word(static_cast<std::uint64_t>(negated)));
    }
    return inverse_by_halving(x.value);
}

}  // namespace varnhold
