#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "field/field.hpp"
#include "safe/shamir_decode.hpp"

namespace varnhold::testing {

// The decoder the verifying combine used before the quadratic one, kept as the reference its
// results are compared with: Berlekamp-Welch on each chunk by elimination (cubic in m), then the
// positions where the decoded polynomials disagree, refused beyond (m - k) / 2 of them.
bool reference_locate_wrong_shares(std::span<const uint128> xs, std::span<const FieldElement> ys,
                                   std::size_t k, ShamirPolynomials& out,
                                   std::vector<std::size_t>& wrong);

}  // namespace varnhold::testing
