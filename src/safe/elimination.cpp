#include "safe/elimination.hpp"

#include <algorithm>

#include "common/stop_check.hpp"
#include "common/wipe.hpp"

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

namespace {

// All ones when v is not 0, else 0, without a branch.
constexpr uint128 nonzero_mask(uint128 v) noexcept { return uint128{0} - ((v | (0 - v)) >> 127); }

constexpr FieldElement select(uint128 mask, FieldElement a, FieldElement b) noexcept {
    return FieldElement{(a.value & mask) | (b.value & ~mask)};
}

}  // namespace

bool solve_secret_columns(std::span<FieldElement> rows, std::size_t m, std::size_t width,
                          std::size_t first, std::size_t count, std::span<FieldElement> out) {
    FieldElement* const a = rows.data();
    const std::size_t rhs = width - 1;
    std::vector<uint128> used(m, 0);            // all ones once a row is a pivot row
    std::vector<uint128> chosen(count * m, 0);  // chosen[c m + i]: row i is column c's pivot
    WipedVector<FieldElement> pivot_row(width);
    StopCheck stop;
    for (std::size_t c = 0; c < count; ++c) {
        const std::size_t column = first + c;
        stop.work(m * (width - first));
        uint128 taken = 0;
        for (std::size_t i = first; i < m; ++i) {
            const uint128 pick = nonzero_mask(a[i * width + column].value) & ~used[i] & ~taken;
            chosen[c * m + i] = pick;
            taken |= pick;
        }
        for (std::size_t j = first; j < width; ++j) {
            uint128 gathered = 0;
            for (std::size_t i = first; i < m; ++i)
                gathered |= a[i * width + j].value & chosen[c * m + i];
            pivot_row[j] = FieldElement{gathered};
        }
        // The inverse of 0 comes out as 0, so a column without a pivot changes nothing below.
        const FieldElement inverse = field_pow_p_minus_2(pivot_row[column].value);
        for (std::size_t j = first; j < width; ++j) pivot_row[j] = field_mul(pivot_row[j], inverse);
        for (std::size_t i = 0; i < m; ++i) {
            FieldElement* const row = a + i * width;
            stop.work(width - first);
            const FieldElement factor = field_sub(FieldElement{}, row[column]);
            const uint128 pick = i >= first ? chosen[c * m + i] : 0;
            for (std::size_t j = first; j < width; ++j) {
                row[j] = select(pick, pivot_row[j], field_mul_add(factor, pivot_row[j], row[j]));
            }
            if (i >= first) used[i] |= pick;
        }
    }
    // Rows that never became pivots are zero in the secret columns; they must be in the
    // right-hand side too. Each unknown is its pivot row's right-hand side, or 0 when free.
    uint128 leftover = 0;
    for (std::size_t i = first; i < m; ++i) leftover |= a[i * width + rhs].value & ~used[i];
    for (std::size_t c = 0; c < count; ++c) {
        uint128 value = 0;
        for (std::size_t i = first; i < m; ++i)
            value |= a[i * width + rhs].value & chosen[c * m + i];
        out[c] = FieldElement{value};
    }
    return leftover == 0;
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
