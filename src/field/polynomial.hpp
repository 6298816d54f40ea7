#pragma once

#include <cstddef>
#include <cstdint>

#include "field/field.hpp"

namespace varnhold {

// One step of Horner's rule, y x + a, for an index held as a field element or as a word.
constexpr FieldElement horner_step(FieldElement y, FieldElement x, FieldElement a) noexcept {
    return field_mul_add(y, x, a);
}
constexpr FieldElement horner_step(FieldElement y, std::uint64_t x, FieldElement a) noexcept {
    return field_mul_word_add(y, x, a);
}

// Horner's rule: constant + higher[0] x + higher[1] x^2 + ... + higher[count - 1] x^count, with
// count >= 1 multiply-adds. The constant term is given apart because the callers keep it apart
// (the secret's chunk, or an old share value being refreshed).
template <class Index>
constexpr FieldElement evaluate_above_constant(const FieldElement* higher, std::size_t count,
                                               Index x, FieldElement constant) noexcept {
    FieldElement y = higher[count - 1];
    for (std::size_t j = count - 1; j-- > 0;) y = horner_step(y, x, higher[j]);
    return horner_step(y, x, constant);
}

// coefficients[0] + coefficients[1] x + ... + coefficients[k - 1] x^(k - 1), for k >= 1.
constexpr FieldElement evaluate_polynomial_at(const FieldElement* coefficients, std::size_t k,
                                              FieldElement x) noexcept {
    if (k == 1) return coefficients[0];
    return evaluate_above_constant(coefficients + 1, k - 1, x, coefficients[0]);
}

// Replaces each of values[0 .. count) by its inverse with a single inversion, the running
// products kept in `prefix` (count elements). The values must be public (products of index
// differences): the inversion's time depends on them. Returns false, and leaves the values as
// they were, when one of them is 0.
bool invert_public_batch(FieldElement* values, FieldElement* prefix, std::size_t count) noexcept;

}  // namespace varnhold
