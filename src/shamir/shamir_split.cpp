#include <span>
#include <vector>

#include "common/decimal.hpp"
#include "common/memory_limit.hpp"
#include "common/small_vector.hpp"
#include "common/stop_check.hpp"
#include "common/wipe.hpp"
#include "random/random_field.hpp"
#include "shamir/chunks.hpp"
#include "shamir/shamir.hpp"
#include "shamir/shamir_share.hpp"

namespace varnhold {
namespace {

// Up to this many coefficients (thresholds up to 9) are drawn into the stack.
constexpr std::size_t few_coefficients = 32;

}  // namespace

Result<void> shamir_split(std::string_view secret, std::uint64_t k, std::uint64_t n,
                          ByteSource& random, ShareWriter& out) {
    if (Result<void> valid = check_split_arguments(secret, k, n, "Invalid k/n parameters");
        !valid) {
        return valid;
    }

    // The output grows as n and the coefficients as k: a request that this process cannot hold
    // fails here, before any random value is drawn, instead of halfway through. No index is
    // longer than n's decimal form.
    char digits[40];
    const std::uint64_t share_length = write_decimal(n, digits) + chunk_count * (1 + field_hex_length);
    const std::uint64_t coefficient_bytes =
        saturating_mul(saturating_mul(chunk_count, k - 1), sizeof(FieldElement));
    require_fits_in_memory(
        saturating_add(saturating_mul(n, out.bytes_per_share(share_length)), coefficient_bytes));

    const SecretChunks chunks = secret_to_chunks(secret);
    // Coefficient j (1..k-1) of chunk c's polynomial sits at c * (k - 1) + (j - 1). With them
    // and one share anyone could rebuild the secret, so they are wiped on every way out.
    const std::size_t degree = static_cast<std::size_t>(k - 1);
    const std::size_t coefficient_count = chunk_count * degree;
    // Those of small thresholds, the common case, stay on the stack.
    StackStorage<FieldElement, few_coefficients> few;
    std::vector<FieldElement> many(coefficient_count > few_coefficients ? coefficient_count : 0);
    FieldElement* const coefficients =
        coefficient_count > few_coefficients ? many.data() : few.data();
    const std::span<FieldElement> drawn(coefficients, coefficient_count);
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
    std::size_t index_length = 1;
    for (std::uint64_t x = 1; x <= n; ++x) {
        stop.work(chunk_count * degree);
        for (std::size_t c = 0; c < chunk_count; ++c) {
            // Horner's rule: k - 1 multiply-adds per value, and the same exact result as summing
            // the powers. The index fits in a word.
            const FieldElement* a = coefficients + c * degree;
            FieldElement y = a[degree - 1];
            for (std::size_t j = degree - 1; j-- > 0;) y = field_mul_word_add(y, x, a[j]);
            values[c] = field_mul_word_add(y, x, chunks[c]);
        }
        out.add(std::string_view(text, write_shamir_share_values(index_length, values, text)));
        increment_decimal(text, index_length);
    }
    return {};
}

}  // namespace varnhold
