#include <array>
#include <string>
#include <vector>

#include "blakley/blakley.hpp"
#include "blakley/blakley_share.hpp"
#include "common/memory_limit.hpp"
#include "common/stop_check.hpp"
#include "common/wipe.hpp"
#include "random/random_field.hpp"
#include "shamir/chunks.hpp"

namespace varnhold {

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
    WipedVector<FieldElement> points(dimension * chunk_count);
    StopCheck stop;
    for (std::size_t j = 0; j < chunk_count; ++j) {
        points[j] = chunks[j];
        for (std::size_t t = 1; t < dimension; ++t) {
            points[t * chunk_count + j] = random_nonzero_field_element(random);
            stop.work(2 * draw_work);
        }
    }

    out.begin(static_cast<std::size_t>(n));
    std::vector<FieldElement> coefficients(dimension);
    std::string text(static_cast<std::size_t>(share_length), '\0');
    std::array<FieldElement, chunk_count> constants{};
    // The constants and the share text are secret; they are wiped however the loop ends.
    const WipeAtExit wipe_constants(constants);
    const WipeAtExit wipe_text(text);
    for (std::uint64_t i = 0; i < n; ++i) {
        for (FieldElement& a : coefficients) {
            a = random_nonzero_field_element(random);
            stop.work(2 * draw_work);
        }
        stop.work(dimension * (chunk_count + 4));
        constants = {};
        for (std::size_t t = 0; t < dimension; ++t) {
            const FieldElement* point = points.data() + t * chunk_count;
            for (std::size_t j = 0; j < chunk_count; ++j) {
                constants[j] = field_mul_add(coefficients[t], point[j], constants[j]);
            }
        }
        out.add(std::string_view(text.data(),
                                 write_blakley_share(coefficients, constants, text.data())));
    }
    return {};
}

}  // namespace varnhold
