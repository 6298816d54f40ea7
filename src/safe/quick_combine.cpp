#include "safe/quick_combine.hpp"

#include <algorithm>
#include <array>

#include "blakley/blakley_share.hpp"
#include "safe/blakley_decode.hpp"
#include "safe/envelope.hpp"
#include "safe/shamir_decode.hpp"
#include "safe/share_refusals.hpp"
#include "safe/share_tag.hpp"
#include "shamir/shamir_share.hpp"

namespace varnhold {
namespace {

// The values read from the shares and the rebuilt chunks: wiped on every way out. Nothing is
// written past the first m shares' values, so only those are wiped.
struct QuickValues {
    explicit QuickValues(std::size_t shares) : m(shares) {}
    QuickValues(const QuickValues&) = delete;
    QuickValues& operator=(const QuickValues&) = delete;
    ~QuickValues() {
        secure_wipe(ys.data(), m * max_share_values * sizeof(FieldElement));
        secure_wipe(tags.data(), m * sizeof(FieldElement));
        secure_wipe_object(chunks);
    }
    std::size_t m;
    std::array<FieldElement, quick_combine_limit * max_share_values> ys{};
    std::array<FieldElement, quick_combine_limit> tags{};  // version 2
    std::array<FieldElement, max_share_values> chunks{};
};

// A genuine split shares 64-bit chunks: tested once over all four. In version 2 every share's tag
// must be the tag of the rebuilt key and secret.
bool genuine(const QuickValues& values, std::size_t tagged, SecretBytes& out) {
    uint128 high = 0;
    for (std::size_t c = 0; c < chunk_count; ++c) high |= values.chunks[c].value >> 64;
    if (high != 0) return false;
    std::array<FieldElement, chunk_count> four{};
    std::copy_n(values.chunks.begin(), chunk_count, four.begin());
    SecretBytes secret;
    chunks_to_secret(four, secret);
    secure_wipe_object(four);
    if (tagged != 0) {
        const FieldElement tag = secret_tag(values.chunks[chunk_count], secret.bytes);
        uint128 difference = 0;
        for (std::size_t i = 0; i < tagged; ++i) difference |= values.tags[i].value ^ tag.value;
        if (difference != 0) return false;
    }
    out = std::move(secret);
    return true;
}

// Opens every text as an envelope of one set of exactly m = k shares; false otherwise. Version 2
// values go to values.ys, six a share.
bool open_all(std::span<const std::string_view> texts, std::span<OpenedEnvelope> opened,
              QuickValues& values) {
    const std::size_t m = texts.size();
    for (std::size_t i = 0; i < m; ++i) {
        // A bare share fails the envelope's own tag test.
        Result<OpenedEnvelope> envelope = open_envelope(
            trim_share_text(texts[i]),
            std::span(values.ys).subspan(i * envelope_value_count).first<envelope_value_count>());
        if (!envelope) return false;
        opened[i] = *envelope;
        const EnvelopeHeader& h = opened[i].header;
        const EnvelopeHeader& first = opened[0].header;
        // A set of more or fewer than k shares is read in full: decline before opening the rest.
        if (h.k != m || h.scheme != first.scheme || h.k != first.k || h.set_id != first.set_id ||
            h.version != first.version)
            return false;
    }
    return true;
}

// Version 2: the values were opened six a share; the five shared ones are packed five a share
// and the tags set apart. Shamir shares sit at their numbers; Blakley shares at their nodes, their
// values divided by the node (share_set.cpp says why) through the weights.
bool rebuild_version_2(std::span<const OpenedEnvelope> opened, QuickValues& values) {
    const std::size_t m = opened.size();
    constexpr std::size_t shared = envelope_shared_values;
    const bool blakley = opened[0].header.scheme == Scheme::blakley;
    std::array<uint128, quick_combine_limit> xs{};
    for (std::size_t i = 0; i < m; ++i) {
        values.tags[i] = values.ys[i * envelope_value_count + shared];
        // Packing in place moves each value down, never over one not yet moved.
        for (std::size_t c = 0; c < shared; ++c)
            values.ys[i * shared + c] = values.ys[i * envelope_value_count + c];
        xs[i] = opened[i].header.number;
    }
    if (blakley) {
        // Every share is of one set (open_all): their nodes are computed together.
        std::array<std::uint64_t, quick_combine_limit> numbers{};
        std::array<FieldElement, quick_combine_limit> nodes{};
        for (std::size_t i = 0; i < m; ++i) numbers[i] = static_cast<std::uint64_t>(xs[i]);
        blakley_nodes(opened[0].header.set_id, std::span(numbers).first(m),
                      std::span(nodes).first(m));
        for (std::size_t i = 0; i < m; ++i) xs[i] = nodes[i].value;
    }
    for (std::size_t i = 0; i < m; ++i) {
        // Numbers and nodes are public; a repeated one goes to the full reading.
        for (std::size_t j = 0; j < i; ++j) {
            if (xs[j] == xs[i]) return false;
        }
    }
    // A Blakley value is the node times the value at the node: the weights take the division.
    return shamir_constant_terms({xs.data(), m}, {values.ys.data(), m * shared}, m,
                                 values.chunks.data(), blakley);
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
    QuickValues values(m);
    if (!open_all(texts, {opened.data(), m}, values)) return false;
    const std::uint64_t k = opened[0].header.k;
    if (k != m || (k_given != 0 && k_given != k)) return false;
    const std::span<const OpenedEnvelope> set(opened.data(), m);
    const bool version_2 = opened[0].header.version == 2;
    bool rebuilt = false;
    if (version_2) {
        rebuilt = rebuild_version_2(set, values);
    } else {
        rebuilt = opened[0].header.scheme == Scheme::shamir ? rebuild_shamir(set, values)
                                                            : rebuild_blakley(set, values);
    }
    return rebuilt && genuine(values, version_2 ? m : 0, out);
}

}  // namespace varnhold
