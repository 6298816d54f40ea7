#include "blakley/blakley_share.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace varnhold {
namespace {

constexpr std::string_view coefficient_label = "coefficient";
constexpr std::string_view constant_label = "share value";

// Every share is checked in the same order whoever stores the result: the number of ":"-parts,
// then each coefficient in text order, then their number, then the four constants. `store`
// receives each coefficient with its position as soon as it has been read.
template <class Store>
Result<void> parse_share(std::string_view text, std::uint64_t index, std::uint64_t k, Store&& store,
                         std::span<FieldElement, chunk_count> constants) {
    const auto colons = static_cast<std::size_t>(std::count(text.begin(), text.end(), ':'));
    if (colons != chunk_count) {
        return SharingError{"Share " + std::to_string(index) +
                            " has invalid format: expected 5 parts, got " +
                            std::to_string(colons + 1)};
    }

    const std::size_t list_end = text.find(':');
    const std::string_view list = text.substr(0, list_end);
    std::uint64_t count = 0;
    for (std::size_t start = 0;;) {
        const std::size_t comma = list.find(',', start);
        const Result<FieldElement> value =
            parse_field_hex(list.substr(start, comma - start), coefficient_label);
        if (!value) return value.error();
        store(count, *value);
        ++count;
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (count != k) {
        return SharingError{"Share " + std::to_string(index) +
                            " has invalid number of coefficients: expected " + std::to_string(k) +
                            ", got " + std::to_string(count)};
    }

    std::size_t start = list_end + 1;
    for (std::size_t j = 0; j < chunk_count; ++j) {
        // The last constant runs to the end of the text: exactly four colons were counted.
        const std::size_t end = j + 1 < chunk_count ? text.find(':', start) : text.size();
        const Result<FieldElement> value =
            parse_field_hex(text.substr(start, end - start), constant_label);
        if (!value) return value.error();
        constants[j] = *value;
        start = end + 1;
    }
    return {};
}

}  // namespace

void write_blakley_share(std::span<const FieldElement> coefficients,
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

Result<void> parse_blakley_share_into(std::string_view text, std::uint64_t index, std::uint64_t k,
                                      std::span<FieldElement> coefficients,
                                      std::span<FieldElement, chunk_count> constants) {
    return parse_share(
        text, index, k,
        [coefficients](std::uint64_t position, FieldElement value) {
            if (position < coefficients.size()) coefficients[position] = value;
        },
        constants);
}

}  // namespace varnhold
