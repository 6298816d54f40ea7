#include "safe/set_writer.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "common/decimal.hpp"
#include "common/memory_limit.hpp"
#include "common/stop_check.hpp"
#include "field/chunks.hpp"
#include "field/polynomial.hpp"
#include "random/batched_source.hpp"
#include "random/random_field.hpp"
#include "safe/share_tag.hpp"

namespace varnhold {
namespace {

constexpr std::size_t set_id_bytes = 8;
constexpr std::size_t value_count = envelope_value_count;
constexpr std::size_t shared_count = envelope_shared_values;

// The five polynomials (Shamir) or points (Blakley, coordinates as coefficients) of the chunks and
// the key: coefficient t of value c at c k + t; coefficient 0 is the shared value itself. Returns
// the tag.
FieldElement draw_values(const SecretBytes& secret, std::size_t k, ByteSource& random,
                         WipedVector<FieldElement>& coefficients, StopCheck& stop) {
    const SecretChunks chunks = secret_to_chunks(
        std::string_view(reinterpret_cast<const char*>(secret.bytes.data()), secret.size));
    const FieldElement key = random_field_element(random);
    for (std::size_t c = 0; c < chunk_count; ++c) coefficients[c * k] = chunks[c];
    coefficients[chunk_count * k] = key;
    for (std::size_t c = 0; c < shared_count; ++c) {
        for (std::size_t t = 1; t < k; ++t) {
            coefficients[c * k + t] = random_field_element(random);
            stop.work(2 * draw_work);
        }
    }
    return secret_tag(key, secret.bytes);
}

// Horner's rule on the five polynomials in step, one multiply-add of each a turn: five
// independent chains the processor overlaps, where one polynomial after another would wait on
// every product. Each value gets exactly the operations evaluate_above_constant gives it.
template <class Index>
void evaluate_in_step(const FieldElement* coefficients, std::size_t k, Index x,
                      std::array<FieldElement, value_count>& values) noexcept {
    for (std::size_t c = 0; c < shared_count; ++c) values[c] = coefficients[c * k + k - 1];
    for (std::size_t t = k - 1; t-- > 0;) {
        for (std::size_t c = 0; c < shared_count; ++c)
            values[c] = horner_step(values[c], x, coefficients[c * k + t]);
    }
}

// The five shared values of the share at x: Shamir f_c(x); Blakley the constants h g_c(h) of the
// row (h, h^2, .., h^k) at the node h = x. The sixth, the tag, is already in place.
void share_values(const WipedVector<FieldElement>& coefficients, std::size_t k, Scheme scheme,
                  uint128 x, std::array<FieldElement, value_count>& values) noexcept {
    const FieldElement node{x};
    if (x >> 64 == 0) {
        evaluate_in_step(coefficients.data(), k, static_cast<std::uint64_t>(x), values);
    } else {
        evaluate_in_step(coefficients.data(), k, node, values);
    }
    if (scheme == Scheme::blakley) {
        for (std::size_t c = 0; c < shared_count; ++c) values[c] = field_mul(values[c], node);
    }
}

// Shamir shares numbered 1, 2, 3, ..: each polynomial's coefficients are turned, in place, into
// its forward differences at 0 (f(0), the first difference f(1) - f(0), .., the (k - 1)-th, which
// is constant), after which each share's value is k - 1 additions from the one before, where
// Horner's rule takes k - 1 multiply-adds. The differences come from Horner's rule itself, run on
// the polynomial written in falling factorials x (x - 1) .. (x - j + 1): with e_j the j-th
// difference at 0 (j! times the j-th falling-factorial coefficient), a step f -> x f + a makes
// e_j = j (e_(j-1) + e_j) and e_0 = a. That is k (k - 1) / 2 products by small words a polynomial,
// half of what Horner's rule spends on k shares. The differences, like the coefficients, rebuild
// the secret with one share: they stay in the wiped coefficients.
void differences_at_zero(WipedVector<FieldElement>& coefficients, std::size_t k, StopCheck& stop) {
    const auto times = [](FieldElement v, std::size_t j) {
        return j == 1 ? v : field_mul_word(v, static_cast<std::uint64_t>(j));
    };
    // Coefficients t.. hold the differences of a_t + a_(t+1) x + ..: e_j at t + j.
    for (std::size_t t = k - 1; t-- > 0;) {
        const std::size_t top = k - 1 - t;
        stop.work(shared_count * top);
        for (std::size_t c = 0; c < shared_count; ++c) {
            FieldElement* e = coefficients.data() + c * k + t;
            for (std::size_t j = 1; j < top; ++j) e[j] = times(field_add(e[j], e[j + 1]), j);
            e[top] = times(e[top], top);
        }
    }
}

// The differences at x to those at x + 1, and the shared values there, f(x + 1).
void step_differences(WipedVector<FieldElement>& differences, std::size_t k,
                      std::array<FieldElement, value_count>& values) noexcept {
    FieldElement* d = differences.data();
    for (std::size_t j = 0; j + 1 < k; ++j) {
        for (std::size_t c = 0; c < shared_count; ++c)
            d[c * k + j] = field_add(d[c * k + j], d[c * k + j + 1]);
    }
    for (std::size_t c = 0; c < shared_count; ++c) values[c] = d[c * k];
}

void require_set_fits_in_memory(std::uint64_t k, std::uint64_t count, const ShareWriter& out) {
    const std::uint64_t share_length = envelope_prefix_max_length + envelope_values_rest_length;
    const std::uint64_t coefficient_bytes =
        saturating_mul(saturating_mul(shared_count, k), sizeof(FieldElement));
    require_fits_in_memory(saturating_add(saturating_mul(count, out.bytes_per_share(share_length)),
                                          coefficient_bytes));
}

}  // namespace

void write_version_2_set(Scheme scheme, const SecretBytes& secret, std::uint64_t k,
                         ShareNumbers numbers, ByteSource& random, ShareWriter& out) {
    const std::uint64_t count = numbers.listed.empty() ? numbers.count : numbers.listed.size();
    require_set_fits_in_memory(k, count, out);
    const std::size_t width = static_cast<std::size_t>(k);
    BatchedByteSource batch(random, 16 * (1 + shared_count * (width - 1)), set_id_bytes);
    StopCheck stop;
    // With them and one share anyone could rebuild the secret: wiped on every way out.
    WipedVector<FieldElement> coefficients(shared_count * width);
    char text[envelope_prefix_max_length + envelope_values_rest_length];
    std::array<FieldElement, value_count> values{};
    const WipeAtExit wipe_text(text);
    const WipeAtExit wipe_values(values);
    values[shared_count] = draw_values(secret, width, batch, coefficients, stop);
    const std::uint64_t set_id = batch.prefix_u64();
    // Shamir shares numbered 1, 2, .. are stepped to, each from the one before.
    const bool stepped = scheme == Scheme::shamir && numbers.listed.empty();
    if (stepped) differences_at_zero(coefficients, width, stop);

    const std::size_t prefix = write_envelope_prefix(2, scheme, k, set_id, text);
    char number[40] = {'1'};
    std::size_t number_length = 1;
    // Blakley nodes four shares ahead, their digests computed together.
    constexpr std::uint64_t node_batch = 4;
    std::array<std::uint64_t, node_batch> node_numbers{};
    std::array<FieldElement, node_batch> nodes{};
    // Share i's number: 1..count, or the listed ones.
    auto number_of = [&numbers](std::uint64_t i) -> uint128 {
        return numbers.listed.empty() ? uint128{i} + 1 : numbers.listed[i];
    };
    out.begin(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i) {
        stop.work(shared_count * width + 64);
        const uint128 j = number_of(i);
        if (!numbers.listed.empty()) number_length = write_decimal(j, number);
        if (scheme == Scheme::blakley && i % node_batch == 0) {
            const std::uint64_t ahead = std::min(node_batch, count - i);
            for (std::uint64_t a = 0; a < ahead; ++a)
                node_numbers[a] = static_cast<std::uint64_t>(number_of(i + a));
            blakley_nodes(set_id, std::span(node_numbers).first(ahead),
                          std::span(nodes).first(ahead));
        }
        if (stepped) {
            step_differences(coefficients, width, values);
        } else {
            const uint128 x = scheme == Scheme::shamir ? j : nodes[i % node_batch].value;
            share_values(coefficients, width, scheme, x, values);
        }
        out.add(std::string_view(
            text, write_envelope_values(text, prefix, {number, number_length}, values)));
        if (numbers.listed.empty()) increment_decimal(number, number_length);
    }
}

}  // namespace varnhold
