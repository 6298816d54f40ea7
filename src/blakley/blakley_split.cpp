#include <array>
#include <span>
#include <string>
#include <vector>

#include "blakley/blakley.hpp"
#include "blakley/blakley_share.hpp"
#include "common/memory_limit.hpp"
#include "common/small_vector.hpp"
#include "common/stop_check.hpp"
#include "common/wipe.hpp"
#include "field/chunks.hpp"
#include "random/random_field.hpp"

namespace varnhold {
namespace {

// Thresholds up to this many dimensions split without a heap allocation of their own.
constexpr std::size_t few_dimensions = 8;

// The four constants of the hyperplane with these coefficients through the secret's points: each
// one dot product, its partial sums kept at most 2^127 (loose) and reduced once at its end.
void hyperplane_constants(std::span<const FieldElement> coefficients,
                          std::span<const FieldElement> points,
                          std::array<LooseElement, chunk_count>& sums,
                          std::array<FieldElement, chunk_count>& constants) noexcept {
    sums = {};
    for (std::size_t t = 0; t < coefficients.size(); ++t) {
        const FieldElement* point = points.data() + t * chunk_count;
        for (std::size_t j = 0; j < chunk_count; ++j) {
            sums[j] = field_mul_add_lazy(coefficients[t], point[j], sums[j]);
        }
    }
    for (std::size_t j = 0; j < chunk_count; ++j) constants[j] = field_canonical(sums[j]);
}

}  // namespace

Result<void> blakley_split(std::string_view secret, std::uint64_t k, std::uint64_t n,
                           ByteSource& random, ShareWriter& out) {
    if (Result<void> valid = check_split_arguments(secret, k, n, "Invalid k/n"); !valid) {
        return valid;
    }
    // The output alone grows as n * k; a request that this process cannot hold fails here
    // instead of drawing random values for hours first or being killed halfway through.
    const std::uint64_t share_length = blakley_share_length(k);
    require_fits_in_memory(saturating_mul(n, out.bytes_per_share(share_length)));

    const SecretChunks chunks = secret_to_chunks(secret);
    // Coordinate t of chunk j's secret point sits at t * chunk_count + j, so that a coefficient
    // meets the four coordinates it multiplies side by side. Coordinate 0 is the secret itself.
    const auto dimension = static_cast<std::size_t>(k);
    // Small thresholds, the common case, keep the points, the coefficients and the text on the
    // stack; larger ones take them from the heap.
    ScratchBuffer<FieldElement, few_dimensions * chunk_count> points_room(dimension * chunk_count);
    const std::span<FieldElement> points = points_room.span();
    // The secret and its point are wiped however the split ends, a failed draw included.
    const WipeAtExit wipe_points(points);
    StopCheck stop;
    for (std::size_t j = 0; j < chunk_count; ++j) {
        points[j] = chunks[j];
        for (std::size_t t = 1; t < dimension; ++t) {
            points[t * chunk_count + j] = random_nonzero_field_element(random);
            stop.work(2 * draw_work);
        }
    }

    out.begin(static_cast<std::size_t>(n));
    ScratchBuffer<FieldElement, few_dimensions> coefficients_room(dimension);
    const std::span<FieldElement> coefficients = coefficients_room.span();
    ScratchBuffer<char, blakley_share_length(few_dimensions)> text_room(
        static_cast<std::size_t>(share_length));
    const std::span<char> text = text_room.span();
    std::array<FieldElement, chunk_count> constants{};
    std::array<LooseElement, chunk_count> sums{};
    // The constants and the share text are secret; they are wiped however the loop ends.
    const WipeAtExit wipe_constants(constants);
    const WipeAtExit wipe_sums(sums);
    const WipeAtExit wipe_text(text);
    for (std::uint64_t i = 0; i < n; ++i) {
        for (FieldElement& a : coefficients) {
            a = random_nonzero_field_element(random);
            stop.work(2 * draw_work);
        }
        stop.work(dimension * (chunk_count + 4));
        hyperplane_constants(coefficients, points, sums, constants);
        out.add(std::string_view(text.data(),
                                 write_blakley_share(coefficients, constants, text.data())));
    }
    return {};
}

}  // namespace varnhold
