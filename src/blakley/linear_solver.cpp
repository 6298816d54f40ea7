#include "blakley/linear_solver.hpp"

#include <algorithm>
#include <utility>

#include "common/stop_check.hpp"
#include "field/row_update.hpp"

namespace varnhold {
namespace {

constexpr FieldElement negate(FieldElement x) noexcept { return field_sub(FieldElement{0}, x); }

// target[j] += factor * source[j]: the inner loop of Gauss-Jordan elimination, where its time goes.
void add_scaled_row(FieldElement* target, const FieldElement* source, std::size_t count,
                    FieldElement factor) noexcept {
    for (std::size_t j = 0; j < count; ++j) target[j] = field_mul_add(factor, source[j], target[j]);
}

// The loose forms for the coordinate-0 elimination, whose entries stay below row_entry_bound
// from the first step to the last: target[j] += factor * source[j].
void add_scaled_loose_row(LooseElement* target, const LooseElement* source, std::size_t count,
                          const RowFactor& factor) noexcept {
    for (std::size_t j = 0; j < count; ++j) {
        target[j].value = row_mul_add(factor, source[j].value, target[j].value);
    }
}

// target[j] = scale * target[j] + factor * source[j], still loose.
void scale_and_add_loose_row(LooseElement* target, const LooseElement* source, std::size_t count,
                             const RowFactor& scale, const RowFactor& factor) noexcept {
    for (std::size_t j = 0; j < count; ++j) {
        const uint128 scaled = row_mul_add(scale, target[j].value, 0);
        target[j].value = row_mul_add(factor, source[j].value, scaled);
    }
}

// The first of rows [begin, end) whose loose entry at `column` stands for a nonzero element.
std::size_t find_loose_pivot(const LooseElement* rows, std::size_t width, std::size_t column,
                             std::size_t begin, std::size_t end) noexcept {
    for (std::size_t r = begin; r < end; ++r) {
        if (canonical_from_loose(rows[r * width + column].value).value != 0) return r;
    }
    return end;
}

// An inversion is an exponentiation of 138 squarings and multiplications. Where scaling the rows
// by the pivot costs fewer, the step keeps the rows unnormalised instead: scaling an equation by
// a nonzero element changes neither its solutions nor the rank of the system.
constexpr std::size_t inversion_cost = 138;

// The first of rows [begin, end) whose entry at `column` is nonzero, or `end`. Any nonzero pivot
// is as good as another in a finite field.
std::size_t find_pivot(const FieldElement* rows, std::size_t width, std::size_t column,
                       std::size_t begin, std::size_t end) noexcept {
    for (std::size_t r = begin; r < end; ++r) {
        if (rows[r * width + column].value != 0) return r;
    }
    return end;
}

// Coordinate 0 of the solution of two or three equations, by Cramer's rule: x_0 = (sum of b_i
// * C_i) / (sum of a_i0 * C_i), where C_i are the cofactors of column 0. They depend on the
// public coefficients alone and serve all four right-hand sides; the determinant is zero exactly
// when the system is singular, so the result and the error are those of the elimination.
Result<std::array<FieldElement, chunk_count>> first_coordinate_by_cofactors(const LooseElement* a,
                                                                            std::size_t n) {
    const std::size_t width = chunk_count + n;
    // No elimination step has run: the entries are still the canonical elements parsed.
    const auto at = [a, width](std::size_t row, std::size_t column) {
        return FieldElement{a[row * width + chunk_count + column].value};
    };
    std::array<FieldElement, 3> cofactors{};
    if (n == 2) {
        cofactors[0] = at(1, 1);
        cofactors[1] = negate(at(0, 1));
    } else {
        const auto minor = [&at](std::size_t r0, std::size_t r1) {
            return field_sub(field_mul(at(r0, 1), at(r1, 2)), field_mul(at(r0, 2), at(r1, 1)));
        };
        cofactors[0] = minor(1, 2);
        cofactors[1] = negate(minor(0, 2));
        cofactors[2] = minor(0, 1);
    }
    uint128 determinant = 0;
    for (std::size_t i = 0; i < n; ++i) {
        determinant = field_mul_add_lazy(at(i, 0).value, cofactors[i].value, determinant);
    }
    const FieldElement pivot = field_canonical(determinant);
    if (pivot.value == 0) return SharingError{linearly_dependent_message};
    const FieldElement inverse = field_inv_public(pivot);
    std::array<FieldElement, chunk_count> first{};
    for (std::size_t j = 0; j < chunk_count; ++j) {
        uint128 sum = 0;
        for (std::size_t i = 0; i < n; ++i) {
            sum = field_mul_add_lazy(a[i * width + j].value, cofactors[i].value, sum);
        }
        first[j] = field_mul(field_canonical(sum), inverse);
    }
    return first;
}

}  // namespace

Result<std::vector<FieldElement>> solve_linear_system(std::vector<FieldElement> matrix,
                                                      std::vector<FieldElement> rhs) {
    const std::size_t n = rhs.size();
    FieldElement* const a = matrix.data();
    StopCheck stop;
    for (std::size_t c = 0; c < n; ++c) {
        stop.work(2 * n);
        const std::size_t pivot = find_pivot(a, n, c, c, n);
        if (pivot == n) return SharingError{linearly_dependent_message};
        FieldElement* const pivot_row = a + c * n;
        if (pivot != c) {
            std::swap_ranges(pivot_row, pivot_row + n, a + pivot * n);
            std::swap(rhs[c], rhs[pivot]);
        }
        // Pivots come from the coefficients alone, which are public.
        const FieldElement inverse = field_inv_public(pivot_row[c]);
        // Entries left of column c are already zero in this row.
        for (std::size_t j = c; j < n; ++j) pivot_row[j] = field_mul(pivot_row[j], inverse);
        rhs[c] = field_mul(rhs[c], inverse);

        for (std::size_t i = 0; i < n; ++i) {
            FieldElement* const row = a + i * n;
            if (i == c || row[c].value == 0) continue;
            stop.work(n - c);
            const FieldElement factor = negate(row[c]);
            add_scaled_row(row + c, pivot_row + c, n - c, factor);
            rhs[i] = field_mul_add(factor, rhs[c], rhs[i]);
        }
    }
    return rhs;
}

Result<std::array<FieldElement, chunk_count>> solve_first_coordinate(std::span<LooseElement> rows,
                                                                     std::size_t n) {
    if (n == 0) return SharingError{empty_solution_message};
    LooseElement* const a = rows.data();
    if (n == 2 || n == 3) return first_coordinate_by_cofactors(a, n);
    const std::size_t width = chunk_count + n;
    StopCheck stop;
    // Unknowns are removed from the last one down. Removing unknown c takes the rows still in
    // play (0 .. c) and leaves one of them behind as the pivot; the others then only involve the
    // right-hand sides and unknowns left of c, which sit at the front of the row. So each step
    // touches a shrinking prefix of a shrinking set of rows, and no back substitution follows:
    // what is left at the end is one equation in unknown 0. The entries are kept loose (below
    // row_entry_bound, congruent to their element) and read canonically only where a pivot or a
    // factor is taken, so the rows are left holding working values, not elements.
    for (std::size_t c = n; c-- > 1;) {
        const std::size_t column = chunk_count + c;
        stop.work(c + inversion_cost);
        const std::size_t pivot = find_loose_pivot(a, width, column, 0, c + 1);
        if (pivot == c + 1) return SharingError{linearly_dependent_message};
        LooseElement* const pivot_row = a + c * width;
        if (pivot != c) std::swap_ranges(pivot_row, pivot_row + column + 1, a + pivot * width);
        const FieldElement pivot_value = canonical_from_loose(pivot_row[column].value);

        // Column c of the rows left in play is never read again, so it is not cleared. Factors
        // come from coefficients alone, which are public, so a zero factor may skip its row.
        if (c * column < inversion_cost) {
            const RowFactor scale = make_row_factor(pivot_value);
            for (std::size_t i = 0; i < c; ++i) {
                LooseElement* const row = a + i * width;
                const FieldElement entry = canonical_from_loose(row[column].value);
                if (entry.value == 0) continue;
                stop.work(2 * column);
                scale_and_add_loose_row(row, pivot_row, column, scale,
                                        make_row_factor(negate(entry)));
            }
            continue;
        }
        // Pivots come from the coefficients alone, which are public.
        const FieldElement inverse = field_inv_public(pivot_value);
        for (std::size_t i = 0; i < c; ++i) {
            LooseElement* const row = a + i * width;
            const FieldElement entry = canonical_from_loose(row[column].value);
            if (entry.value == 0) continue;
            stop.work(column);
            add_scaled_loose_row(row, pivot_row, column,
                                 make_row_factor(negate(field_mul(entry, inverse))));
        }
    }

    const FieldElement last_pivot = canonical_from_loose(a[chunk_count].value);
    if (last_pivot.value == 0) return SharingError{linearly_dependent_message};
    const FieldElement inverse = field_inv_public(last_pivot);
    std::array<FieldElement, chunk_count> first{};
    for (std::size_t j = 0; j < chunk_count; ++j) {
        first[j] = field_mul(canonical_from_loose(a[j].value), inverse);
    }
    return first;
}

}  // namespace varnhold
