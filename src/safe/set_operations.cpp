#include <algorithm>
#include <set>

#include "blakley/blakley_share.hpp"
#include "common/stop_check.hpp"
#include "field/chunks.hpp"
#include "field/polynomial.hpp"
#include "random/batched_source.hpp"
#include "random/random_field.hpp"
#include "safe/set_writer.hpp"
#include "safe/shamir_decode.hpp"
#include "safe/share_set.hpp"
#include "safe/share_tag.hpp"
#include "shamir/shamir_share.hpp"

namespace varnhold {

std::string ShareSet::wrap(const std::string& bare, uint128 number, std::uint64_t set_id) const {
    if (!report_.envelopes) return bare;
    return wrap_share(EnvelopeHeader{*report_.scheme, report_.k, set_id, number}, bare);
}

void ShareSet::secret(SecretBytes& out) const {
    std::array<FieldElement, chunk_count> chunks{};
    for (std::size_t c = 0; c < chunk_count; ++c) chunks[c] = chunks_[c];
    chunks_to_secret(chunks, out);
    secure_wipe_object(chunks);
}

Result<std::string> ShareSet::new_share(std::optional<uint128> index, ByteSource& random) const {
    if (report_.version == 2) return new_version_2_share(index);
    return *report_.scheme == Scheme::shamir ? new_shamir_share(index)
                                             : new_blakley_share(index, random);
}

namespace {

// The index or number a new share gets: the one asked for, checked, or one above the highest
// good number given. `limit` is p for Shamir indices and 2^64 for Blakley numbers, which are
// read below it.
Result<uint128> new_share_number(std::optional<uint128> index, const SetReport& report) {
    const bool shamir = *report.scheme == Scheme::shamir;
    const uint128 limit = shamir ? field_modulus : uint128{1} << 64;
    if (index) {
        // The polynomials' value at 0 is the secret itself.
        if (shamir && *index == 0) return SharingError{"index 0 would hold the secret itself"};
        if (shamir && *index >= limit) return SharingError{"index must be below 2^127-1"};
        if (*index == 0 || *index >= limit)
            return SharingError{"a Blakley share's number must be at least 1 and below 2^64"};
        return *index;
    }
    uint128 number = 0;
    for (const ShareStatus& s : report.shares) {
        if (s.state == ShareState::good && s.number) number = std::max(number, *s.number);
    }
    if (number + 1 >= limit) {
        return SharingError{shamir ? "no index is left above the highest given"
                                   : "no share number is left above the highest given"};
    }
    return number + 1;
}

}  // namespace

Result<std::string> ShareSet::new_version_2_share(std::optional<uint128> index) const {
    const Result<uint128> number = new_share_number(index, report_);
    if (!number) return number.error();
    const std::size_t k = static_cast<std::size_t>(report_.k);
    const bool shamir = *report_.scheme == Scheme::shamir;
    const FieldElement x = shamir
                               ? FieldElement{*number}
                               : blakley_node(*report_.set_id, static_cast<std::uint64_t>(*number));
    std::array<FieldElement, envelope_value_count> values{};
    const WipeAtExit wipe_values(values);
    StopCheck stop;
    for (std::size_t c = 0; c < envelope_value_count; ++c) {
        stop.work(k);
        values[c] = evaluate_polynomial_at(rebuilt().data() + c * k, k, x);
        // Blakley: the constants of the row (h, .., h^k) are h times the polynomials' values.
        if (!shamir) values[c] = field_mul(values[c], x);
    }
    return wrap_values(EnvelopeHeader{*report_.scheme, report_.k, *report_.set_id, *number, 2},
                       values);
}

Result<std::string> ShareSet::new_shamir_share(std::optional<uint128> index) const {
    const std::size_t k = static_cast<std::size_t>(report_.k);
    uint128 x = 0;
    if (index) {
        // The polynomials' value at 0 is the secret itself.
        if (*index == 0) return SharingError{"index 0 would hold the secret itself"};
        if (*index >= field_modulus) return SharingError{"index must be below 2^127-1"};
        x = *index;
    } else {
        for (const Parsed& p : parsed_) x = std::max(x, p.x);
        if (++x >= field_modulus) return SharingError{"no index is left above the highest given"};
    }
    std::array<FieldElement, chunk_count> values{};
    const WipeAtExit wipe_values(values);
    StopCheck stop;
    for (std::size_t c = 0; c < chunk_count; ++c) {
        stop.work(k);
        values[c] = evaluate_polynomial_at(rebuilt().data() + c * k, k, FieldElement{x});
    }
    std::string text = format_shamir_share(x, values);
    secure_wipe_object(values);
    std::string share = wrap(text, x, report_.set_id.value_or(0));
    secure_wipe(text.data(), text.size());
    return share;
}

Result<std::string> ShareSet::new_blakley_share(std::optional<uint128> index,
                                                ByteSource& random) const {
    const std::size_t k = static_cast<std::size_t>(report_.k);
    // Envelope numbers of Blakley shares are read below 2^64: a share numbered past that would
    // be written but never read back. A bare Blakley share has no number to give.
    const uint128 number_limit = uint128{1} << 64;
    uint128 number = 0;
    if (index) {
        if (!report_.envelopes)
            return SharingError{"an index applies to Shamir shares and Blakley envelopes only"};
        if (*index == 0 || *index >= number_limit)
            return SharingError{"a Blakley share's number must be at least 1 and below 2^64"};
        number = *index;
    } else {
        for (const ShareStatus& s : report_.shares) {
            if (s.state == ShareState::good && s.number) number = std::max(number, *s.number);
        }
        if (report_.envelopes && number + 1 >= number_limit)
            return SharingError{"no share number is left above the highest given"};
        ++number;
    }
    // k nonzero coefficients, drawn as the split draws them, in one request.
    BatchedByteSource batch(random, k * 16);
    std::vector<FieldElement> coefficients(k);
    StopCheck stop;
    for (FieldElement& a : coefficients) {
        a = random_nonzero_field_element(batch);
        stop.work(2 * draw_work);
    }
    std::array<FieldElement, chunk_count> constants{};
    const WipeAtExit wipe_constants(constants);
    for (std::size_t t = 0; t < k; ++t) {
        stop.work(chunk_count);
        for (std::size_t j = 0; j < chunk_count; ++j) {
            constants[j] = field_mul_add(coefficients[t], rebuilt()[4 * t + j], constants[j]);
        }
    }
    std::string text(static_cast<std::size_t>(blakley_share_length(k)), '\0');
    write_blakley_share(coefficients, constants, text.data());
    secure_wipe_object(constants);
    std::string share = wrap(text, number, report_.set_id.value_or(0));
    secure_wipe(text.data(), text.size());
    return share;
}

Result<std::vector<std::string>> ShareSet::refresh(ByteSource& random) const {
    if (!report_.envelopes) return refresh_bare(random);
    // One share per distinct good number, in input order: the decoded shares (a held-back
    // repeat of an index is a duplicate by now).
    // (Version 1 Blakley shares may share a number.)
    std::vector<uint128> numbers;
    std::set<uint128> seen;
    for (const Parsed& p : parsed_) {
        const ShareStatus& status = report_.shares[p.position];
        if (!p.decoded || status.state != ShareState::good || !status.number) continue;
        if (seen.insert(*status.number).second) numbers.push_back(*status.number);
    }
    SecretBytes secret_bytes;
    secret(secret_bytes);
    VectorShareWriter out;
    write_version_2_set(*report_.scheme, secret_bytes, report_.k, ShareNumbers{0, numbers}, random,
                        out);
    return std::move(out.texts);
}

Result<std::vector<std::string>> ShareSet::reshare(Scheme scheme, std::uint64_t k, std::uint64_t n,
                                                   ByteSource& random) const {
    SecretBytes secret_bytes;
    secret(secret_bytes);
    // The same checks and messages as a split of the scheme.
    const std::string_view secret_view(reinterpret_cast<const char*>(secret_bytes.bytes.data()),
                                       SecretBytes::size);
    if (Result<void> valid = check_split_arguments(
            secret_view, k, n, scheme == Scheme::shamir ? "Invalid k/n parameters" : "Invalid k/n");
        !valid) {
        return valid.error();
    }
    VectorShareWriter out;
    write_version_2_set(scheme, secret_bytes, k, ShareNumbers{n, {}}, random, out);
    return std::move(out.texts);
}

Result<std::vector<std::string>> ShareSet::refresh_bare(ByteSource& random) const {
    if (*report_.scheme != Scheme::shamir) {
        return SharingError{"Blakley shares cannot be refreshed; only Shamir shares can"};
    }
    const std::size_t k = static_cast<std::size_t>(report_.k);
    const std::size_t degree = k - 1;
    // The new set id comes first in the one request, then the coefficients as a split draws them.
    BatchedByteSource batch(random, chunk_count * degree * 16, report_.envelopes ? 8 : 0);
    WipedVector<FieldElement> delta(chunk_count * degree);
    StopCheck stop;
    for (std::size_t i = 0; i < delta.size(); ++i) {
        delta[i] = random_field_element(batch);
        stop.work(2 * draw_work);
    }
    const std::uint64_t set_id = report_.envelopes ? batch.prefix_u64() : 0;

    std::vector<std::string> shares;
    shares.reserve(parsed_.size());
    std::array<FieldElement, chunk_count> values{};
    const WipeAtExit wipe_values(values);
    for (std::size_t p = 0; p < parsed_.size(); ++p) {
        if (!parsed_[p].decoded) continue;
        stop.work(chunk_count * degree);
        const FieldElement x{parsed_[p].x};
        for (std::size_t c = 0; c < chunk_count; ++c) {
            // The old value plus delta_c(x) = a_1 x + ... + a_(k-1) x^(k-1), whose constant term
            // is 0.
            values[c] = evaluate_above_constant(delta.data() + c * degree, degree, x,
                                                values_[p * chunk_count + c]);
        }
        std::string text = format_shamir_share(parsed_[p].x, values);
        shares.push_back(wrap(text, parsed_[p].x, set_id));
        secure_wipe(text.data(), text.size());
    }
    secure_wipe_object(values);
    return shares;
}

}  // namespace varnhold
