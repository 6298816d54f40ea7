#include <span>
#include <vector>

#include "common/decimal.hpp"
#include "common/memory_limit.hpp"
#include "common/small_vector.hpp"
#include "common/stop_check.hpp"
#include "common/wipe.hpp"
#include "field/chunks.hpp"
#include "field/polynomial.hpp"
#include "random/random_field.hpp"
#include "shamir/shamir.hpp"
#include "shamir/shamir_share.hpp"

namespace varnhold {
namespace {

// Up to this many coefficients (thresholds up to 9) are drawn into the stack.
constexpr std::size_t few_coefficients = 32;

// Thresholds up to this continue their polynomials by differences past the k-th index.
constexpr std::size_t most_differenced = 64;

// The k values of one polynomial of degree d = k - 1 at the indices 1..k become, in place, its
// backward differences at k in reverse: v[d - j] = the j-th difference there (v[d] the value
// itself, v[0] the d-th difference, the same at every index).
void values_to_differences(FieldElement* v, std::size_t d) noexcept {
    for (std::size_t level = 1; level <= d; ++level) {
        for (std::size_t i = 0; i + level <= d; ++i) v[i] = field_sub(v[i + 1], v[i]);
    }
}

// Moves the differences one index on and returns the value there: each difference gains the one
// of the next order, which is already moved on.
FieldElement next_by_differences(FieldElement* v, std::size_t d) noexcept {
    for (std::size_t i = 1; i <= d; ++i) v[i] = field_add(v[i], v[i - 1]);
    return v[d];
}

// The four share values at index x: Horner's rule, k - 1 multiply-adds per value, and the same
// exact result as summing the powers. The index fits in a word.
inline void evaluate_at(const FieldElement* coefficients, std::size_t degree,
                        const SecretChunks& chunks, std::uint64_t x,
                        std::array<FieldElement, chunk_count>& values) noexcept {
    for (std::size_t c = 0; c < chunk_count; ++c) {
        values[c] = evaluate_above_constant(coefficients + c * degree, degree, x, chunks[c]);
    }
}

// The shares of a split of k <= most_differenced into n >= k + 8: Horner's rule for the first k,
// whose values the table keeps (chunk c's at c * k) and turns into differences, then additions
// only. `text` starts with the decimal index 1.
[[gnu::noinline]] void split_by_differences(const FieldElement* coefficients, std::size_t k,
                                            std::uint64_t n, const SecretChunks& chunks, char* text,
                                            std::array<FieldElement, chunk_count>& values,
                                            StopCheck& stop, ShareWriter& out) {
    const std::size_t degree = k - 1;
    StackStorage<FieldElement, chunk_count * most_differenced> storage;
    const std::span<FieldElement> table(storage.data(), chunk_count * k);
    const WipeAtExit wipe_table(table);
    std::size_t index_length = 1;
    for (std::uint64_t x = 1; x <= n; ++x) {
        stop.work(chunk_count * degree);
        if (x <= k) {
            evaluate_at(coefficients, degree, chunks, x, values);
            for (std::size_t c = 0; c < chunk_count; ++c) table[c * k + (x - 1)] = values[c];
            if (x == k) {
                for (std::size_t c = 0; c < chunk_count; ++c)
                    values_to_differences(table.data() + c * k, degree);
            }
        } else {
            for (std::size_t c = 0; c < chunk_count; ++c)
                values[c] = next_by_differences(table.data() + c * k, degree);
        }
        out.add(std::string_view(text, write_shamir_share_values(index_length, values, text)));
        increment_decimal(text, index_length);
    }
}

// The output grows as n and the coefficients as k: a request that this process cannot hold
// fails here, before any random value is drawn, instead of halfway through. No index is longer
// than n's decimal form.
void require_split_fits_in_memory(std::uint64_t k, std::uint64_t n, const ShareWriter& out) {
    char digits[40];
    const std::uint64_t share_length =
        write_decimal(n, digits) + chunk_count * (1 + field_hex_length);
    const std::uint64_t coefficient_bytes =
        saturating_mul(saturating_mul(chunk_count, k - 1), sizeof(FieldElement));
    require_fits_in_memory(
        saturating_add(saturating_mul(n, out.bytes_per_share(share_length)), coefficient_bytes));
}

}  // namespace

Result<void> shamir_split(std::string_view secret, std::uint64_t k, std::uint64_t n,
                          ByteSource& random, ShareWriter& out) {
    if (Result<void> valid = check_split_arguments(secret, k, n, "Invalid k/n parameters");
        !valid) {
        return valid;
    }

    require_split_fits_in_memory(k, n, out);

    const SecretChunks chunks = secret_to_chunks(secret);
    // Coefficient j (1..k-1) of chunk c's polynomial sits at c * (k - 1) + (j - 1). With them
    // and one share anyone could rebuild the secret, so they are wiped on every way out.
    const std::size_t degree = static_cast<std::size_t>(k - 1);
    const std::size_t coefficient_count = chunk_count * degree;
    // Those of small thresholds, the common case, stay on the stack.
    ScratchBuffer<FieldElement, few_coefficients> drawn_room(coefficient_count);
    FieldElement* const coefficients = drawn_room.data();
    const std::span<FieldElement> drawn = drawn_room.span();
    StopCheck stop;
    // Wiped however the split ends, a failed draw included (from the stack or from the heap).
    const WipeAtExit wipe_coefficients(drawn);
    for (std::size_t i = 0; i < coefficient_count; ++i) {
        coefficients[i] = random_field_element(random);
        stop.work(2 * draw_work);
    }

    out.begin(static_cast<std::size_t>(n));
    std::array<FieldElement, chunk_count> values{};
    char text[shamir_share_buffer_length];
    // Share values and texts are secret; they are wiped however the loop ends.
    const WipeAtExit wipe_values(values);
    const WipeAtExit wipe_text(text);
    // The indices run 1, 2, .. n, so each one's decimal text is the last one's plus one, carried
    // from the right, in place at the start of the text; indices are public.
    text[0] = '1';
    // A polynomial of degree d at consecutive indices is continued exactly by its differences:
    // past the k-th index each value costs d additions instead of d multiply-adds. Building the
    // table costs about as much as a few values, so only splits of several more shares than k
    // use it.
    if (n >= k + 8 && k <= most_differenced) {
        split_by_differences(coefficients, static_cast<std::size_t>(k), n, chunks, text, values,
                             stop, out);
        return {};
    }
    std::size_t index_length = 1;
    for (std::uint64_t x = 1; x <= n; ++x) {
        stop.work(chunk_count * degree);
        evaluate_at(coefficients, degree, chunks, x, values);
        out.add(std::string_view(text, write_shamir_share_values(index_length, values, text)));
        increment_decimal(text, index_length);
    }
    return {};
}

}  // namespace varnhold
