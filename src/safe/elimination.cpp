#include "safe/elimination.hpp"

#include <algorithm>

#include "common/stop_check.hpp"

namespace varnhold {

std::vector<std::size_t> reduce_rows(std::span<FieldElement> rows, std::size_t m, std::size_t width,
                                     std::size_t unknowns) {
    std::vector<std::size_t> pivots;
    FieldElement* const a = rows.data();
    std::size_t rank = 0;
    StopCheck stop;
    for (std::size_t column = 0; column < unknowns && rank < m; ++column) {
        stop.work(m - rank);
        std::size_t pivot = rank;
        while (pivot < m && a[pivot * width + column].value == 0) ++pivot;
        if (pivot == m) continue;
        FieldElement* const pivot_row = a + rank * width;
        if (pivot != rank) std::swap_ranges(pivot_row, pivot_row + width, a + pivot * width);
        // Nonzero, so the inverse exists.
        const FieldElement inverse = field_pow_p_minus_2(pivot_row[column].value);
        for (std::size_t j = column; j < width; ++j)
            pivot_row[j] = field_mul(pivot_row[j], inverse);
        for (std::size_t i = 0; i < m; ++i) {
            FieldElement* const row = a + i * width;
            if (i == rank || row[column].value == 0) continue;
            stop.work(width - column);
            const FieldElement factor = field_sub(FieldElement{}, row[column]);
            for (std::size_t j = column; j < width; ++j) {
                row[j] = field_mul_add(factor, pivot_row[j], row[j]);
            }
        }
        pivots.push_back(column);
        ++rank;
    }
    return pivots;
}

bool reduced_rows_consistent(std::span<const FieldElement> rows, std::size_t m, std::size_t width,
                             std::size_t unknowns, std::size_t rank) noexcept {
    uint128 any = 0;
    for (std::size_t i = rank; i < m; ++i) {
        for (std::size_t j = unknowns; j < width; ++j) any |= rows[i * width + j].value;
    }
    return any == 0;
}

}  // namespace varnhold
