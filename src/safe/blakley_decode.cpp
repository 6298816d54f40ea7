#include "safe/blakley_decode.hpp"

#include <array>
#include <vector>

#include "common/memory_limit.hpp"
#include "common/stop_check.hpp"
#include "field/chunks.hpp"
#include "safe/elimination.hpp"

namespace varnhold {

BlakleySolve solve_blakley_points(std::span<const FieldElement> coefficients,
                                  std::span<const FieldElement> constants, std::size_t m,
                                  std::size_t k, std::size_t skip, BlakleyPoints& points) {
    const std::size_t width = k + chunk_count;
    const std::size_t rows_used = skip < m ? m - 1 : m;
    require_fits_in_memory(saturating_mul(saturating_mul(rows_used, width), sizeof(FieldElement)));
    WipedVector<FieldElement> rows(rows_used * width);
    StopCheck stop;
    for (std::size_t i = 0, r = 0; i < m; ++i) {
        if (i == skip) continue;
        stop.work(width);
        FieldElement* const row = rows.data() + r * width;
        for (std::size_t t = 0; t < k; ++t) row[t] = coefficients[i * k + t];
        for (std::size_t j = 0; j < chunk_count; ++j) row[k + j] = constants[4 * i + j];
        ++r;
    }
    const std::vector<std::size_t> pivots =
        reduce_rows({rows.data(), rows.size()}, rows_used, width, k);
    if (pivots.size() < k) return BlakleySolve::dependent;
    if (!reduced_rows_consistent({rows.data(), rows.size()}, rows_used, width, k, k)) {
        return BlakleySolve::inconsistent;
    }
    // Full rank: pivot r sits in column r.
    for (std::size_t t = 0; t < k; ++t) {
        for (std::size_t j = 0; j < chunk_count; ++j) points[4 * t + j] = rows[t * width + k + j];
    }
    return BlakleySolve::solved;
}

}  // namespace varnhold
