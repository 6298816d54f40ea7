#include "safe/set_writer.hpp"

#include <algorithm>
#include <array>
#include <optional>
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

// Shamir shares numbered 1, 2, 3, ..: once the first k values of a polynomial of degree k - 1 are
// known, each next one is k - 1 additions away, where Horner's rule takes k - 1 multiply-adds.
// Turning the first k values into differences costs about k^2 / 2 additions, so stepping pays
// only for sets with enough shares past the k-th (worth_stepping). The table holds each value's
// backward differences at the last number written, difference d of value c at d * 5 + c (the five
// values side by side, so that each step's five additions are independent); the (k - 1)-th
// difference never changes. Like the coefficients, the table and one share rebuild the secret: it
// is wiped.
class ConsecutiveValues {
public:
    explicit ConsecutiveValues(std::size_t k) : k_(k), table_(k * shared_count) {}

    // Value c of the share at x (1 to k, in turn) from Horner's rule; after the k-th, the table
    // is turned into the differences at k.
    void keep(std::size_t x, const std::array<FieldElement, value_count>& values, StopCheck& stop) {
        for (std::size_t c = 0; c < shared_count; ++c) at(k_ - x, c) = values[c];
        if (x != k_) return;
        // Entry i held the value at k - i; each level replaces entries i >= level, from the top
        // down, by the difference of the entry below and itself.
        for (std::size_t level = 1; level < k_; ++level) {
            stop.work(2 * (k_ - level));  // five additions, each a third of a unit
            for (std::size_t i = k_ - 1; i >= level; --i) {
                for (std::size_t c = 0; c < shared_count; ++c)
                    at(i, c) = field_sub(at(i - 1, c), at(i, c));
            }
        }
    }

    // The five shared values of the share after the last one, from the top difference down.
    void next(std::array<FieldElement, value_count>& values) noexcept {
        for (std::size_t d = k_ - 1; d-- > 0;) {
            for (std::size_t c = 0; c < shared_count; ++c)
                at(d, c) = field_add(at(d, c), at(d + 1, c));
        }
        for (std::size_t c = 0; c < shared_count; ++c) values[c] = at(0, c);
    }

private:
    FieldElement& at(std::size_t d, std::size_t c) noexcept { return table_[d * shared_count + c]; }

    std::size_t k_;
    WipedVector<FieldElement> table_;
};

// Whether stepping saves work. A step's addition takes about a third of the time of a multiply-add
// by a word (1.3 ns against 4 ns), so the (count - k)(k - 1) multiply-adds it saves are worth
// twice the table's k (k - 1) / 2 additions once count - k >= k / 2; and a small set, whose table
// costs an allocation, must save at least 64 multiply-adds a value.
bool worth_stepping(std::uint64_t k, std::uint64_t count) noexcept {
    if (count <= k) return false;
    const std::uint64_t past = count - k;
    return past >= k / 2 && past * (k - 1) >= 64;
}

// `tables`: the coefficients, and the differences when the shares are stepped to (2).
void require_set_fits_in_memory(std::uint64_t k, std::uint64_t count, std::uint64_t tables,
                                const ShareWriter& out) {
    const std::uint64_t share_length = envelope_prefix_max_length + envelope_values_rest_length;
    const std::uint64_t table_bytes = saturating_mul(
        saturating_mul(saturating_mul(shared_count, k), sizeof(FieldElement)), tables);
    require_fits_in_memory(
        saturating_add(saturating_mul(count, out.bytes_per_share(share_length)), table_bytes));
}

}  // namespace

void write_version_2_set(Scheme scheme, const SecretBytes& secret, std::uint64_t k,
                         ShareNumbers numbers, ByteSource& random, ShareWriter& out) {
    const std::uint64_t count = numbers.listed.empty() ? numbers.count : numbers.listed.size();
    // Shares numbered 1, 2, .. after the k-th are stepped to from the ones before.
    const bool stepped =
        scheme == Scheme::shamir && numbers.listed.empty() && worth_stepping(k, count);
    require_set_fits_in_memory(k, count, stepped ? 2 : 1, out);
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
    std::optional<ConsecutiveValues> consecutive;
    if (stepped) consecutive.emplace(width);

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
        if (stepped && i >= k) {
            consecutive->next(values);
        } else {
            const uint128 x = scheme == Scheme::shamir ? j : nodes[i % node_batch].value;
            share_values(coefficients, width, scheme, x, values);
            if (stepped) consecutive->keep(static_cast<std::size_t>(i) + 1, values, stop);
        }
        out.add(std::string_view(
            text, write_envelope_values(text, prefix, {number, number_length}, values)));
        if (numbers.listed.empty()) increment_decimal(number, number_length);
    }
}

}  // namespace varnhold
