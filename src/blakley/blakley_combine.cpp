#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "blakley/blakley.hpp"
#include "blakley/blakley_share.hpp"
#include "blakley/linear_solver.hpp"
#include "common/memory_limit.hpp"
#include "shamir/chunks.hpp"

namespace varnhold {

Result<SecretBytes> blakley_combine(std::span<const std::string_view> shares, std::uint64_t k) {
    if (shares.size() < k) {
        return SharingError{"Not enough shares: got " + std::to_string(shares.size()) + ", need " +
                            std::to_string(k)};
    }
    if (k < 2) return SharingError{"Invalid k: threshold must be at least 2"};

    // Share 0 is read before the system is allocated: a valid share proves that the caller really
    // sent k coefficients, so a bare large k cannot make the call reserve k^2 elements.
    Result<BlakleyShare> first = parse_blakley_share(shares[0], 0, k);
    if (!first) return std::move(first).error();

    // Each row holds the four chunks' right-hand sides and then the share's coefficients, so all
    // four chunks are eliminated together. k <= shares.size(), so k + 4 cannot overflow; k * width
    // still can, hence the saturating product.
    const auto n = static_cast<std::size_t>(k);
    const std::size_t width = n + chunk_count;
    require_fits_in_memory(saturating_mul(saturating_mul(n, width), sizeof(FieldElement)));
    std::vector<FieldElement> rows(n * width);

    std::copy(first->constants.begin(), first->constants.end(), rows.begin());
    std::copy(first->coefficients.begin(), first->coefficients.end(), rows.begin() + chunk_count);
    for (std::size_t i = 1; i < n; ++i) {
        const std::span<FieldElement> row(rows.data() + i * width, width);
        const Result<void> parsed = parse_blakley_share_into(
            shares[i], i, k, row.subspan(chunk_count), row.first<chunk_count>());
        if (!parsed) return parsed.error();
    }

    const Result<std::array<FieldElement, chunk_count>> chunks = solve_first_coordinate(rows, n);
    if (!chunks) return chunks.error();
    SecretBytes secret;
    chunks_to_secret(*chunks, secret);
    return secret;
}

}  // namespace varnhold
