#include <algorithm>

#include "blakley/blakley_share.hpp"
#include "common/stop_check.hpp"
#include "field/chunks.hpp"
#include "field/polynomial.hpp"
#include "random/batched_source.hpp"
#include "random/random_field.hpp"
#include "safe/shamir_decode.hpp"
#include "safe/share_set.hpp"
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
    return *report_.scheme == Scheme::shamir ? new_shamir_share(index)
                                             : new_blakley_share(index, random);
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
