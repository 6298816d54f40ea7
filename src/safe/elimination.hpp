#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "field/field.hpp"

namespace varnhold {

// Gauss-Jordan elimination of m equations stored row by row, `width` entries each: the first
// `unknowns` columns are coefficients, the rest right-hand sides. On return rows 0 .. rank - 1
// have a 1 in their pivot column and zeros in the other pivot columns, and rows rank .. m - 1
// are zero in the coefficient columns. Returns the pivot column of each of the first rank rows.
// Pivots are chosen by being nonzero, which makes the steps depend on the entries: callers pass
// public coefficients, or values of a set already known to disagree.
std::vector<std::size_t> reduce_rows(std::span<FieldElement> rows, std::size_t m, std::size_t width,
                                     std::size_t unknowns);

// Finishes the elimination of rows already reduced in their first `first` columns (rows 0 ..
// first - 1 the pivot rows, rows first .. m - 1 zero there) for the `count` columns after them,
// whose entries are secret, with a fixed sequence of operations: the pivot of each column is the
// first unused row with a nonzero entry, chosen with masks over every row, and a column without
// one leaves its unknown free (0). Writes those unknowns to `out` and returns whether the system
// is consistent. The last column is the right-hand side (width = first + count + 1).
bool solve_secret_columns(std::span<FieldElement> rows, std::size_t m, std::size_t width,
                          std::size_t first, std::size_t count, std::span<FieldElement> out);

// Whether rows rank .. m - 1 are zero in their right-hand sides too.
bool reduced_rows_consistent(std::span<const FieldElement> rows, std::size_t m, std::size_t width,
                             std::size_t unknowns, std::size_t rank) noexcept;

}  // namespace varnhold
