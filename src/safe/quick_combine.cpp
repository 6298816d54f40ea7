#include "safe/quick_combine.hpp"

#include <array>

#include "blakley/blakley_share.hpp"
#include "safe/blakley_decode.hpp"
#include "safe/envelope.hpp"
#include "safe/shamir_decode.hpp"
#include "safe/share_refusals.hpp"
#include "shamir/shamir_share.hpp"

namespace varnhold {
namespace {

// The values read from the shares and the rebuilt chunks: wiped on every way out.
struct QuickValues {
    std::array<FieldElement, quick_combine_limit * chunk_count> ys{};
    std::array<FieldElement, chunk_count> chunks{};
    ~QuickValues() {
        secure_wipe_object(ys);
        secure_wipe_object(chunks);
    }
};

// A genuine split shares 64-bit chunks: tested once over all four.
bool genuine(const std::array<FieldElement, chunk_count>& chunks) noexcept {
    uint128 high = 0;
    for (const FieldElement& c : chunks) high |= c.value >> 64;
    return high == 0;
}

// Opens every text as an envelope of one set of exactly m = k shares; false otherwise.
bool open_all(std::span<const std::string_view> texts, std::span<OpenedEnvelope> opened) {
    const std::size_t m = texts.size();
    for (std::size_t i = 0; i < m; ++i) {
        // A bare share fails the envelope's own tag test.
        Result<OpenedEnvelope> envelope = open_envelope(trim_share_text(texts[i]));
        if (!envelope) return false;
        opened[i] = *envelope;
        const EnvelopeHeader& h = opened[i].header;
        const EnvelopeHeader& first = opened[0].header;
        // A set of more or fewer than k shares is read in full: decline before opening the rest.
        if (h.k != m || h.scheme != first.scheme || h.k != first.k || h.set_id != first.set_id)
            return false;
    }
    return true;
}

bool rebuild_shamir(std::span<const OpenedEnvelope> opened, QuickValues& values) {
    const std::size_t m = opened.size();
    std::array<uint128, quick_combine_limit> xs{};
    for (std::size_t i = 0; i < m; ++i) {
        const std::string_view bare = opened[i].bare;
        // The number field is plain decimal from 1, so an index equal to it is one a split
        // writes.
        if (bare.substr(0, bare.find(':')) != opened[i].number_field) return false;
        Result<ShamirShare> share = parse_shamir_share(bare);
        if (!share) return false;
        for (std::size_t c = 0; c < chunk_count; ++c)
            values.ys[i * chunk_count + c] = share->values[c];
        secure_wipe_object(share->values);
        xs[i] = share->index;
        // Indices are public; a repeated one goes to the full reading.
        for (std::size_t j = 0; j < i; ++j) {
            if (xs[j] == xs[i]) return false;
        }
    }
    return shamir_constant_terms({xs.data(), m}, {values.ys.data(), m * chunk_count}, m,
                                 values.chunks.data());
}

bool rebuild_blakley(std::span<const OpenedEnvelope> opened, QuickValues& values) {
    const std::size_t m = opened.size();
    std::array<FieldElement, quick_combine_limit * quick_combine_limit> rows{};
    for (std::size_t i = 0; i < m; ++i) {
        Result<BlakleyShare> share = parse_blakley_share(opened[i].bare, 0, m);
        if (!share || refused_blakley_row(share->coefficients)) return false;
        for (std::size_t t = 0; t < m; ++t) rows[i * m + t] = share->coefficients[t];
        for (std::size_t c = 0; c < chunk_count; ++c)
            values.ys[i * chunk_count + c] = share->constants[c];
        secure_wipe_object(share->constants);
    }
    BlakleyPoints points(m * chunk_count);
    // k independent hyperplanes always meet in one point; a repeated share makes them
    // dependent, which the full reading reports.
    if (solve_blakley_points({rows.data(), m * m}, {values.ys.data(), m * chunk_count}, m, m,
                             skip_none, points) != BlakleySolve::solved) {
        return false;
    }
    for (std::size_t c = 0; c < chunk_count; ++c) values.chunks[c] = points[c];
    return true;
}

}  // namespace

bool quick_combine(std::span<const std::string_view> texts, std::uint64_t k_given,
                   SecretBytes& out) {
    const std::size_t m = texts.size();
    if (m < 2 || m > quick_combine_limit) return false;
    std::array<OpenedEnvelope, quick_combine_limit> opened;
    if (!open_all(texts, {opened.data(), m})) return false;
    const std::uint64_t k = opened[0].header.k;
    if (k != m || (k_given != 0 && k_given != k)) return false;
    QuickValues values;
    const std::span<const OpenedEnvelope> set(opened.data(), m);
    const bool rebuilt = opened[0].header.scheme == Scheme::shamir ? rebuild_shamir(set, values)
                                                                   : rebuild_blakley(set, values);
    if (!rebuilt || !genuine(values.chunks)) return false;
    chunks_to_secret(values.chunks, out);
    return true;
}

}  // namespace varnhold
