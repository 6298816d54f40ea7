#pragma once

#include <cstddef>
#include <span>

#include "common/wipe.hpp"
#include "field/chunks.hpp"
#include "field/field.hpp"

namespace varnhold {

// The polynomials behind a Shamir set: coefficient j of chunk c at c * k + j, so coefficient 0
// of each is the whole 127-bit rebuilt chunk.
using ShamirPolynomials = WipedVector<FieldElement>;

// Interpolates the four polynomials of degree below k through the first k points. xs must be
// distinct; ys holds the four values of point i at 4i .. 4i + 3.
void interpolate_shamir(std::span<const uint128> xs, std::span<const FieldElement> ys,
                        std::size_t k, ShamirPolynomials& out);

// Only the four constant terms (the rebuilt chunks) of the polynomials through the k points,
// from the weights of the values at 0. False when two indices coincide modulo p.
bool shamir_constant_terms(std::span<const uint128> xs, std::span<const FieldElement> ys,
                           std::size_t k, FieldElement* out);

// Horner's rule on the k coefficients at `coefficients`.
FieldElement evaluate_polynomial(const FieldElement* coefficients, std::size_t k,
                                 FieldElement x) noexcept;

// Berlekamp-Welch on chunk `chunk` of the m = xs.size() points: finds the polynomial of degree
// below k that disagrees with at most e of them (m >= k + 2e), writing its k coefficients to
// `out`. Returns false when no such polynomial exists (more than e values are wrong). The work
// is one elimination of m equations in k + 2e unknowns.
bool berlekamp_welch(std::span<const uint128> xs, std::span<const FieldElement> ys,
                     std::size_t chunk, std::size_t k, std::size_t e, FieldElement* out);

}  // namespace varnhold
