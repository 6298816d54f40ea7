#pragma once

#include <cstddef>
#include <span>

#include "common/wipe.hpp"
#include "field/field.hpp"

namespace varnhold {

// The four secret points of a Blakley set: coordinate t of chunk j at 4t + j, so coordinates
// 0 .. 3 are the whole 127-bit rebuilt chunks.
using BlakleyPoints = WipedVector<FieldElement>;

enum class BlakleySolve { solved, inconsistent, dependent };

// Solves the hyperplanes of the m shares at once: coefficients of share i at k i .. k i + k - 1
// (public), its four constants at 4i .. 4i + 3. Shares with skip[i] set are left out (skip may be
// empty). `dependent` when fewer than k of the rows are independent, `inconsistent` when no
// point lies on all of them, else the points go to `points` (4k entries).
BlakleySolve solve_blakley_points(std::span<const FieldElement> coefficients,
                                  std::span<const FieldElement> constants, std::size_t m,
                                  std::size_t k, std::size_t skip, BlakleyPoints& points);

inline constexpr std::size_t skip_none = static_cast<std::size_t>(-1);

}  // namespace varnhold
