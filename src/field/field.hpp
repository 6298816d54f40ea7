#pragma once

#include <cstdint>

#include "common/uint128.hpp"

namespace varnhold {

// p = 2^127 - 1, a Mersenne prime: 2^127 is congruent to 1, which turns reduction into folds.
inline constexpr uint128 field_modulus = (static_cast<uint128>(1) << 127) - 1;

namespace field_detail {

// Ends the process: a value that is not canonical was given as one. Only the verify build (the
// sanitizer build, VARNHOLD_VERIFY) calls it, and only after a branch on the value, which is why
// the constant-flow build never has it.
[[noreturn]] void not_canonical() noexcept;

}  // namespace field_detail

// An element of GF(p), always canonical: 0 <= value < p. The value is read anywhere as a
// uint128 (`e.value`), but only FieldElement's constructors set it, and each says whether it
// reduces: FieldElement{v} takes a value already below p as it is (the verify build stops the
// process when it is not), field_reduce(v) reduces any 128-bit value. Values that are only
// congruent (the partial sums of lazy multiply-adds) are LooseElement.
class FieldElement {
public:
    // The canonical value, readable as a uint128; only FieldElement makes, copies or sets one.
    class Canonical {
    public:
        constexpr operator uint128() const noexcept { return v_; }

    private:
        friend class FieldElement;
        constexpr Canonical() noexcept = default;
        constexpr explicit Canonical(uint128 v) noexcept : v_(v) {}
        constexpr Canonical(const Canonical&) noexcept = default;
        constexpr Canonical& operator=(const Canonical&) noexcept = default;

        uint128 v_ = 0;
    };

    constexpr FieldElement() noexcept = default;
    // From a value already below p, not reduced.
    constexpr explicit FieldElement(uint128 canonical) noexcept : value(canonical) {
#if defined(VARNHOLD_VERIFY)
        if (canonical >= field_modulus) field_detail::not_canonical();
#endif
    }

    constexpr std::uint64_t low() const noexcept { return static_cast<std::uint64_t>(value.v_); }
    constexpr std::uint64_t high() const noexcept {
        return static_cast<std::uint64_t>(value.v_ >> 64);
    }
    friend constexpr bool operator==(FieldElement a, FieldElement b) noexcept {
        return static_cast<uint128>(a.value) == static_cast<uint128>(b.value);
    }

    Canonical value;
};

// A value congruent to the element it stands for but not yet reduced: the partial sums of dot
// products (at most 2^127, the operands of field_mul_add_lazy) and the entries of the lazy
// elimination (below row_entry_bound). Each user states its bound; field_canonical and
// field_reduce make an element of it once, at the end. A canonical element is loose too.
struct LooseElement {
    uint128 value = 0;

    constexpr LooseElement() noexcept = default;
    constexpr explicit LooseElement(uint128 v) noexcept : value(v) {}
    constexpr LooseElement(FieldElement e) noexcept : value(e.value) {}
};

namespace field_detail {

// s <= 2^127 to its canonical residue. s >= p only for s = p or p + 1, exactly when bit 127 of
// s + 1 is set; adding that bit and masking subtracts p without a branch on the value.
constexpr uint128 canonical_from_at_most_2_127(uint128 s) noexcept {
    return (s + ((s + 1) >> 127)) & field_modulus;
}

// One fold: any 128-bit value to at most 2^127 with the same residue.
constexpr uint128 fold(uint128 v) noexcept { return (v & field_modulus) + (v >> 127); }

// acc += term, counting the carry out of 128 bits in top.
constexpr void add_with_carry(uint128& acc, std::uint64_t& top, uint128 term) noexcept {
    acc += term;
    top += static_cast<std::uint64_t>(acc < term);
}

// The last step of every product: acc + 2^128 * top (top <= 3) to at most 2^127 with the same
// residue. 2^128 = 2 and 2^127 = 1 (mod p), so the bits from 127 up are added back in at the
// bottom; the first fold leaves less than 2^127 + 8, the second at most 2^127.
constexpr uint128 fold_with_top(uint128 acc, std::uint64_t top) noexcept {
    const uint128 once = (acc & field_modulus) + ((acc >> 127) | (static_cast<uint128>(top) << 1));
    return fold(once);
}

// (a * b + c) mod p for a, b and c each at most 2^127, left at most 2^127: the residue is right
// but p and 2^127 may stand for 0 and 1. Its result is a valid operand again, so chains of
// multiply-adds reduce to canonical form only once, at the end. With a1, b1 <= 2^63 the two cross
// products sum to less than 2^128. The product's part from 2^128 up, a1 * b1 plus the cross
// products' high word, is less than 2^127 and counts twice there, so everything is summed in
// 128 bits plus a small carry word before a single fold.
constexpr uint128 mul_add_lazy(uint128 a, uint128 b, uint128 c) noexcept {
    const std::uint64_t a0 = static_cast<std::uint64_t>(a);
    const std::uint64_t a1 = static_cast<std::uint64_t>(a >> 64);
    const std::uint64_t b0 = static_cast<std::uint64_t>(b);
    const std::uint64_t b1 = static_cast<std::uint64_t>(b >> 64);
    const uint128 mid = static_cast<uint128>(a0) * b1 + static_cast<uint128>(a1) * b0;
    const uint128 upper = static_cast<uint128>(a1) * b1 + (mid >> 64);
    uint128 acc = static_cast<uint128>(a0) * b0;
    std::uint64_t top = 0;
    add_with_carry(acc, top, c);
    add_with_carry(acc, top, upper << 1);
    add_with_carry(acc, top, mid << 64);
    return fold_with_top(acc, top);
}

// a * a mod p for a <= 2^127, left at most 2^127: one word product fewer than mul_add_lazy.
constexpr uint128 square_lazy(uint128 a) noexcept {
    const std::uint64_t a0 = static_cast<std::uint64_t>(a);
    const std::uint64_t a1 = static_cast<std::uint64_t>(a >> 64);
    // a1 <= 2^63 and a1 = 2^63 only with a0 = 0, so 2 * a0 * a1 < 2^128.
    const uint128 mid = (static_cast<uint128>(a0) * a1) << 1;
    const uint128 upper = static_cast<uint128>(a1) * a1 + (mid >> 64);
    uint128 acc = static_cast<uint128>(a0) * a0;
    std::uint64_t top = 0;
    add_with_carry(acc, top, upper << 1);
    add_with_carry(acc, top, mid << 64);
    return fold_with_top(acc, top);
}

// (a * b + c) mod p, canonical.
constexpr uint128 mul_add(uint128 a, uint128 b, uint128 c) noexcept {
    return canonical_from_at_most_2_127(mul_add_lazy(a, b, c));
}

}  // namespace field_detail

// v mod p for any 128-bit value.
constexpr FieldElement field_reduce(uint128 v) noexcept {
    return FieldElement{field_detail::canonical_from_at_most_2_127(field_detail::fold(v))};
}

constexpr FieldElement field_add(FieldElement a, FieldElement b) noexcept {
    return field_reduce(a.value + b.value);
}

constexpr FieldElement field_sub(FieldElement a, FieldElement b) noexcept {
    return field_reduce(a.value + field_modulus - b.value);
}

constexpr FieldElement field_mul(FieldElement a, FieldElement b) noexcept {
    return FieldElement{field_detail::mul_add(a.value, b.value, 0)};
}

// (a * b + c) mod p in one reduction: the inner step of evaluation and elimination.
constexpr FieldElement field_mul_add(FieldElement a, FieldElement b, FieldElement c) noexcept {
    return FieldElement{field_detail::mul_add(a.value, b.value, c.value)};
}

// (a * b) mod p for a canonical a and any 64-bit b: three word products fewer than field_mul.
// The product is below 2^191, so its high part above bit 127 is below 2^64.
constexpr FieldElement field_mul_word(FieldElement a, std::uint64_t b) noexcept {
    const uint128 low = static_cast<uint128>(a.low()) * b;
    // a.high() < 2^63, so this stays below 2^127 + 2^64.
    const uint128 mid = static_cast<uint128>(a.high()) * b + (low >> 64);
    const uint128 bottom = ((mid << 64) | static_cast<std::uint64_t>(low)) & field_modulus;
    return FieldElement{
        field_detail::canonical_from_at_most_2_127(field_detail::fold(bottom + (mid >> 63)))};
}

// (a * b + c) mod p for canonical a and c and any 64-bit b: the step of evaluating a polynomial
// at a share index. The product's bits from 127 up (below 2^65) are added after c has been folded
// in, so no sum leaves 128 bits.
constexpr FieldElement field_mul_word_add(FieldElement a, std::uint64_t b,
                                          FieldElement c) noexcept {
    const uint128 low = static_cast<uint128>(a.low()) * b;
    const uint128 mid = static_cast<uint128>(a.high()) * b + (low >> 64);
    const uint128 bottom = ((mid << 64) | static_cast<std::uint64_t>(low)) & field_modulus;
    return field_reduce(field_detail::fold(bottom + c.value) + (mid >> 63));
}

// Multiply-adds whose operands and results are only known to be at most 2^127 (congruent to the
// value they stand for, but possibly p or 2^127 in place of 0 or 1). Inner loops chain them and
// reduce with field_canonical once at the end.
constexpr uint128 field_mul_add_lazy(uint128 a, uint128 b, uint128 c) noexcept {
    return field_detail::mul_add_lazy(a, b, c);
}

constexpr FieldElement field_canonical(uint128 at_most_2_127) noexcept {
    return FieldElement{field_detail::canonical_from_at_most_2_127(at_most_2_127)};
}

// The same multiply-add and reduction on loose values of at most 2^127.
constexpr LooseElement field_mul_add_lazy(FieldElement a, FieldElement b, LooseElement c) noexcept {
    return LooseElement{field_detail::mul_add_lazy(a.value, b.value, c.value)};
}

constexpr FieldElement field_canonical(LooseElement at_most_2_127) noexcept {
    return field_canonical(at_most_2_127.value);
}

// a * a, with one multiplication fewer than field_mul.
constexpr FieldElement field_square(FieldElement a) noexcept {
    return FieldElement{
        field_detail::canonical_from_at_most_2_127(field_detail::square_lazy(a.value))};
}

// x^(2^n) by n squarings, reduced to canonical form once at the end.
constexpr FieldElement field_square_times(FieldElement x, int n) noexcept {
    uint128 v = x.value;
    for (int i = 0; i < n; ++i) v = field_detail::square_lazy(v);
    return FieldElement{field_detail::canonical_from_at_most_2_127(v)};
}

// a^(p-2) = a^(2^127 - 3), by Fermat. The exponent is fixed, so one addition chain serves every
// operand: x^(2^125 - 1) is built from runs of ones (x^(2^(m+n) - 1) = (x^(2^m - 1))^(2^n) *
// x^(2^n - 1)), then two squarings and one multiplication by x give 2^127 - 4 + 1. That is 126
// squarings and 12 multiplications, the same sequence whatever the operand; zero (any multiple
// of p) comes out as 0.
constexpr FieldElement field_pow_p_minus_2(uint128 a) noexcept {
    const FieldElement x = field_reduce(a);
    const FieldElement e1 = x;
    const FieldElement e2 = field_mul(field_square(e1), e1);
    const FieldElement e4 = field_mul(field_square_times(e2, 2), e2);
    const FieldElement e8 = field_mul(field_square_times(e4, 4), e4);
    const FieldElement e16 = field_mul(field_square_times(e8, 8), e8);
    const FieldElement e32 = field_mul(field_square_times(e16, 16), e16);
    const FieldElement e64 = field_mul(field_square_times(e32, 32), e32);
    const FieldElement e96 = field_mul(field_square_times(e64, 32), e32);
    const FieldElement e112 = field_mul(field_square_times(e96, 16), e16);
    const FieldElement e120 = field_mul(field_square_times(e112, 8), e8);
    const FieldElement e124 = field_mul(field_square_times(e120, 4), e4);
    const FieldElement e125 = field_mul(field_square(e124), e1);
    return field_mul(field_square_times(e125, 2), x);
}

// The inverse of x, and 0 for 0: the one caller that could meet a zero says what it means. The
// same operations whatever x is.
constexpr FieldElement field_inv(FieldElement x) noexcept { return field_pow_p_minus_2(x.value); }

// The inverse of a value that is public, such as a product of differences of share indices:
// the same result as field_inv, 0 for 0, but its running time depends on the operand, so it
// must never see secret material. Operands within 2^64 of 0 or of p take a word-sized Euclid.
FieldElement field_inv_public(FieldElement x) noexcept;

}  // namespace varnhold
