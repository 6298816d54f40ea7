#pragma once

#include <cstdint>

#include "field/field.hpp"

namespace varnhold {

// Elimination rows are updated with one multiplier for a whole row, so the work that depends on
// the multiplier alone is done once: with g = f * 2^64 mod p, f * x = f * x0 + g * x1 for
// x = x0 + 2^64 * x1, two products of a field element and a word whose sum with the target fits
// in three words. Entries stay loose between updates: below row_entry_bound and congruent to the
// element they stand for.
struct RowFactor {
    std::uint64_t f0 = 0;
    std::uint64_t f1 = 0;
    std::uint64_t g0 = 0;
    std::uint64_t g1 = 0;
};

// 2^127 + 2^66: canonical elements are below it, and so is every result of row_mul_add.
inline constexpr uint128 row_entry_bound = (uint128{1} << 127) + (uint128{1} << 66);

constexpr RowFactor make_row_factor(FieldElement f) noexcept {
    const FieldElement g = field_mul(f, FieldElement{uint128{1} << 64});
    return RowFactor{f.low(), f.high(), g.low(), g.high()};
}

// A loose entry to its canonical element: one fold leaves at most 2^127.
constexpr FieldElement canonical_from_loose(uint128 v) noexcept {
    return field_canonical(field_detail::fold(v));
}

// t + f * x for loose x and t, loose again. With f, g < 2^127 and x1 < 2^63 + 4, the sum is below
// 2^191 + 2^190 + 2^130, three words whose top word is below 2^63 * 1.5. Its bits from 127 up fold
// onto the bits below: 2^127 + 2^65 at most.
constexpr uint128 row_mul_add_portable(const RowFactor& m, uint128 x, uint128 t) noexcept {
    const auto x0 = static_cast<std::uint64_t>(x);
    const auto x1 = static_cast<std::uint64_t>(x >> 64);
    const uint128 p00 = static_cast<uint128>(m.f0) * x0;
    const uint128 p10 = static_cast<uint128>(m.f1) * x0;
    const uint128 q00 = static_cast<uint128>(m.g0) * x1;
    const uint128 q10 = static_cast<uint128>(m.g1) * x1;
    // Word 0, then words 1 and 2 with the carries from below.
    const uint128 w0 = static_cast<uint128>(static_cast<std::uint64_t>(p00)) +
                       static_cast<std::uint64_t>(q00) + static_cast<std::uint64_t>(t);
    const uint128 w1 = static_cast<uint128>(static_cast<std::uint64_t>(p10)) +
                       static_cast<std::uint64_t>(q10) + (p00 >> 64) + (q00 >> 64) + (t >> 64) +
                       (w0 >> 64);
    const std::uint64_t w2 = static_cast<std::uint64_t>(p10 >> 64) +
                             static_cast<std::uint64_t>(q10 >> 64) +
                             static_cast<std::uint64_t>(w1 >> 64);
    const uint128 low = (static_cast<uint128>(static_cast<std::uint64_t>(w1)) << 64 |
                         static_cast<std::uint64_t>(w0)) &
                        field_modulus;
    const uint128 top = (static_cast<uint128>(w2) << 1) | (static_cast<std::uint64_t>(w1) >> 63);
    return low + top;
}

// The same; on x86-64 as one straight run of word multiplications and carries, which the
// compiler does not reach from the 128-bit form.
// x is read from memory by each multiplication rather than held in registers, which the loop
// needs for the multiplier and the carries.
inline uint128 row_mul_add(const RowFactor& m, const uint128& x, uint128 t) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
    auto r0 = static_cast<std::uint64_t>(t);
    auto r1 = static_cast<std::uint64_t>(t >> 64);
    std::uint64_t r2 = 0;
    std::uint64_t top = 0;
    std::uint64_t rax = 0;
    std::uint64_t rdx = 0;
    __asm__(
        "movq (%[x]), %%rax\n\t"
        "mulq %[f0]\n\t"
        "addq %%rax, %[r0]\n\t"
        "adcq %%rdx, %[r1]\n\t"
        "adcq $0, %[r2]\n\t"
        "movq (%[x]), %%rax\n\t"
        "mulq %[f1]\n\t"
        "addq %%rax, %[r1]\n\t"
        "adcq %%rdx, %[r2]\n\t"
        "movq 8(%[x]), %%rax\n\t"
        "mulq %[g0]\n\t"
        "addq %%rax, %[r0]\n\t"
        "adcq %%rdx, %[r1]\n\t"
        "adcq $0, %[r2]\n\t"
        "movq 8(%[x]), %%rax\n\t"
        "mulq %[g1]\n\t"
        "addq %%rax, %[r1]\n\t"
        "adcq %%rdx, %[r2]\n\t"
        // Bits 127 and up, (r2:r1) >> 63, are added back in at the bottom.
        "movq %[r2], %[top]\n\t"
        "shrq $63, %[top]\n\t"
        "shldq $1, %[r1], %[r2]\n\t"
        "btrq $63, %[r1]\n\t"
        "addq %[r2], %[r0]\n\t"
        "adcq %[top], %[r1]\n\t"
        : [r0] "+&r"(r0), [r1] "+&r"(r1), [r2] "+&r"(r2), [top] "=&r"(top), "=&a"(rax), "=&d"(rdx)
        : [x] "r"(&x), "m"(x), [f0] "r"(m.f0), [f1] "r"(m.f1), [g0] "r"(m.g0), [g1] "r"(m.g1)
        : "cc");
    return (static_cast<uint128>(r1) << 64) | r0;
#else
    return row_mul_add_portable(m, x, t);
#endif
}

}  // namespace varnhold
