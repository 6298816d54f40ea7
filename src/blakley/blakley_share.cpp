#include "blakley/blakley_share.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>

#include "common/decimal.hpp"

namespace varnhold {
namespace {

constexpr std::string_view coefficient_label = "coefficient";
constexpr std::string_view constant_label = "share value";

// Where `separator` next occurs in text[from, end), or end: one memchr, so each byte of a share
// is looked at by one search only.
std::size_t next_separator(std::string_view text, std::size_t from, std::size_t end,
                           char separator) noexcept {
    const void* found = std::memchr(text.data() + from, separator, end - from);
    if (found == nullptr) return end;
    return static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
}

// Every share is checked in the same order whoever stores the result: the number of ":"-parts,
// then each coefficient in text order, then their number, then the four constants. `store`
// receives each coefficient with its position as soon as it has been read.
template <class Store>
Result<void> parse_share(std::string_view text, std::uint64_t index, std::uint64_t k, Store&& store,
                         std::span<FieldElement, chunk_count> constants) {
    // The four colons of a well-formed share, found in one pass; a fifth means the share is
    // malformed, and only then is the rest counted for the message.
    std::array<std::size_t, chunk_count> colons{};
    std::size_t found = 0;
    for (std::size_t from = 0; found <= chunk_count;) {
        const std::size_t at = next_separator(text, from, text.size(), ':');
        if (at == text.size()) break;
        if (found == chunk_count) {
            found += 1 + static_cast<std::size_t>(std::count(
                             text.begin() + static_cast<std::ptrdiff_t>(at) + 1, text.end(), ':'));
            break;
        }
        colons[found++] = at;
        from = at + 1;
    }
    if (found != chunk_count) {
        return SharingError{"Share " + to_decimal(index) +
                            " has invalid format: expected 5 parts, got " + to_decimal(found + 1)};
    }

    const std::size_t list_end = colons[0];
    std::uint64_t count = 0;
    for (std::size_t start = 0;;) {
        const std::size_t comma = next_separator(text, start, list_end, ',');
        const Result<FieldElement> value =
            parse_field_hex(text.substr(start, comma - start), coefficient_label);
        if (!value) return value.error();
        store(count, *value);
        ++count;
        if (comma == list_end) break;
        start = comma + 1;
    }
    if (count != k) {
        return SharingError{"Share " + to_decimal(index) +
                            " has invalid number of coefficients: expected " + to_decimal(k) +
                            ", got " + to_decimal(count)};
    }

    for (std::size_t j = 0; j < chunk_count; ++j) {
        const std::size_t start = colons[j] + 1;
        const std::size_t end = j + 1 < chunk_count ? colons[j + 1] : text.size();
        const Result<FieldElement> value =
            parse_field_hex(text.substr(start, end - start), constant_label);
        if (!value) return value.error();
        constants[j] = *value;
    }
    return {};
}

}  // namespace

std::size_t write_blakley_share(std::span<const FieldElement> coefficients,
                                const std::array<FieldElement, chunk_count>& constants,
                                char* out) noexcept {
    char* cursor = out;
    for (std::size_t t = 0; t < coefficients.size(); ++t) {
        if (t != 0) *cursor++ = ',';
        write_field_hex(coefficients[t], cursor);
        cursor += field_hex_length;
    }
    for (const FieldElement constant : constants) {
        *cursor++ = ':';
        write_field_hex(constant, cursor);
        cursor += field_hex_length;
    }
    return static_cast<std::size_t>(cursor - out);
}

Result<BlakleyShare> parse_blakley_share(std::string_view text, std::uint64_t index,
                                         std::uint64_t k) {
    BlakleyShare share;
    // Sized by the text, never by k alone: until the share has been read, k is only the caller's
    // claim about how many coefficients it holds.
    share.coefficients.reserve(static_cast<std::size_t>(
        std::min<std::uint64_t>(k, text.size() / (field_hex_length + 1) + 1)));
    Result<void> parsed = parse_share(
        text, index, k,
        [&share](std::uint64_t, FieldElement value) { share.coefficients.push_back(value); },
        share.constants);
    if (!parsed) return std::move(parsed).error();
    return share;
}

namespace {

// A share exactly as the split writes it: every element 32 characters, every separator where the
// layout puts it. Hexadecimal digits are never separators, so when every element reads as a
// value below p the general parse would find the same parts and values and no error; anything
// else returns false and is left to it, for its messages.
bool parse_written_share(std::string_view text, std::span<FieldElement> coefficients,
                         std::span<FieldElement, chunk_count> constants) {
    const std::size_t k = coefficients.size();
    // With no coefficients the layout has no place for a first separator to sit before.
    if (k == 0 || text.size() != blakley_share_length(k)) return false;
    constexpr std::size_t stride = field_hex_length + 1;
    const char* const base = text.data();
    bool separators = true;
    for (std::size_t t = 0; t + 1 < k; ++t)
        separators &= base[t * stride + field_hex_length] == ',';
    for (std::size_t j = 0; j < chunk_count; ++j) {
        separators &= base[(k + j) * stride - 1] == ':';
    }
    if (!separators) return false;
    // The coefficients are public; the constants are tested once, all four together.
    if (!read_field_hex_strided(base, stride, k, coefficients.data())) return false;
    return read_field_hex_strided(base + k * stride, stride, chunk_count, constants.data());
}

}  // namespace

Result<void> parse_blakley_share_into(std::string_view text, std::uint64_t index, std::uint64_t k,
                                      std::span<FieldElement> coefficients,
                                      std::span<FieldElement, chunk_count> constants) {
    if (coefficients.size() == k && parse_written_share(text, coefficients, constants)) return {};
    return parse_share(
        text, index, k,
        [coefficients](std::uint64_t position, FieldElement value) {
            if (position < coefficients.size()) coefficients[position] = value;
        },
        constants);
}

}  // namespace varnhold
