#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "field/chunks.hpp"
#include "field/field.hpp"

namespace varnhold {

inline constexpr const char* linearly_dependent_message = "System is linearly dependent";
inline constexpr const char* empty_solution_message = "Degenerate system: empty solution";

// Solves A x = b over GF(p) by Gauss-Jordan elimination. `matrix` is A in row-major order,
// rhs.size() rows of rhs.size() entries; both are consumed. Returns x, x_0 first.
Result<std::vector<FieldElement>> solve_linear_system(std::vector<FieldElement> matrix,
                                                      std::vector<FieldElement> rhs);

// Coordinate 0 of the solution of n equations in n unknowns, for the four right-hand sides of
// the chunks at once. Row i of `rows` is [b0, b1, b2, b3, a_0 .. a_(n-1)], rows back to back;
// the rows are overwritten, with working values that need not be canonical (hence loose; they
// come in canonical, as parsed). A nonsingular system
// has one solution, so coordinate 0 is the one Gauss-Jordan elimination finds, and a singular one
// is reported with the same message.
Result<std::array<FieldElement, chunk_count>> solve_first_coordinate(std::span<LooseElement> rows,
                                                                     std::size_t n);

}  // namespace varnhold
