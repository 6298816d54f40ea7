#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "common/wipe.hpp"
#include "field/chunks.hpp"
#include "field/field.hpp"

namespace varnhold {

// The polynomials behind a Shamir set: coefficient j of value c at c * k + j, so coefficient 0
// of each is the whole 127-bit rebuilt value. Each point carries the same number w of values (the
// four chunks, or six in envelope version 2): ys holds the values of point i at w i .. w i + w - 1,
// and w is ys.size() / xs.size().
using ShamirPolynomials = WipedVector<FieldElement>;

// Interpolates the w polynomials of degree below k through the first k points. xs must be
// distinct.
void interpolate_shamir(std::span<const uint128> xs, std::span<const FieldElement> ys,
                        std::size_t k, ShamirPolynomials& out);

// Only the w constant terms (the rebuilt values) of the polynomials through the k points,
// from the weights of the values at 0. False when two indices coincide modulo p.
// `times_index`: each value given is the polynomial's value times its index, x_i P(x_i) (no index
// may then be 0).
bool shamir_constant_terms(std::span<const uint128> xs, std::span<const FieldElement> ys,
                           std::size_t k, FieldElement* out, bool times_index = false);

// Locates the wrong values among the m = xs.size() points (xs distinct; ys as above): finds the
// w polynomials of degree below k that, together, disagree with at most e = (m - k) / 2 of the
// points, writing them to `out` and the positions where some value disagrees to `wrong`, in
// increasing order. Returns false when there are none (more than e points are wrong, or e = 0).
//
// Cost: O(m^2) time and O(m) memory. One random combination of the w values (public random
// weights) is decoded from its syndromes with the Berlekamp-Massey algorithm (the w values are
// w codewords with the same error positions), first for at most 1, 2, 4, .. wrong values and
// then e, stopping at the first bound that covers them; the polynomials are rebuilt from k of
// the positions it finds right and every value is verified. Only when that leaves more than e
// wrong is each chunk decoded by itself, which decides. Nothing branches on or is addressed by a
// value, except the single test of the outcome and, after it, the listing of the wrong positions.
bool locate_wrong_shares(std::span<const uint128> xs, std::span<const FieldElement> ys,
                         std::size_t k, ShamirPolynomials& out, std::vector<std::size_t>& wrong);

}  // namespace varnhold
