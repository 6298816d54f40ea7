#pragma once

#include <cstddef>
#include <span>

#include "field/field.hpp"

namespace varnhold {

// The weights of the values at k distinct indices for the value at 0 of the polynomial of degree
// below k through them: w_i = prod_{j != i} x_j / prod_{j != i} (x_j - x_i). They depend on the
// indices alone (public), so they serve every chunk. `work` holds 3 k elements: the weights come
// out in the first k, the rest is scratch. False when two indices coincide modulo p.
bool lagrange_weights_at_zero(std::span<const uint128> xs, FieldElement* work);

// The same weights each divided by its own index, w_i / x_i: the weights at zero of the values
// P(x_i) x_i of a polynomial P. One inversion serves both divisions. False also when an index is
// 0 modulo p.
bool lagrange_weights_over_index(std::span<const uint128> xs, FieldElement* work);

}  // namespace varnhold
