#include "shamir/shamir_share.hpp"

#include <cstring>

#include "common/decimal.hpp"

namespace varnhold {
namespace {

constexpr std::size_t field_count = 1 + chunk_count;

SharingError invalid_index(std::string_view field) {
    std::string message = "Invalid share index: ";
    message.append(field);
    return SharingError{std::move(message)};
}

// Where the first colons of the text are: writes the positions of up to `limit` of them, in
// order, and returns how many the text has, or limit + 1 when it has more. A byte search per
// colon; a digit of a value is never a colon, whatever its value, so the search's path depends
// only on where the colons are.
[[gnu::noinline]] std::size_t find_colons(std::string_view text, std::size_t* at,
                                          std::size_t limit) noexcept {
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    std::size_t count = 0;
    for (const char* from = begin; from < end;) {
        const void* found = std::memchr(from, ':', static_cast<std::size_t>(end - from));
        if (found == nullptr) break;
        if (count == limit) return limit + 1;
        const char* const colon = static_cast<const char*>(found);
        at[count++] = static_cast<std::size_t>(colon - begin);
        from = colon + 1;
    }
    return count;
}

}  // namespace

namespace {

std::size_t write_values(std::size_t length, const std::array<FieldElement, chunk_count>& values,
                         char* out) noexcept {
    for (const FieldElement value : values) {
        out[length++] = ':';
        write_field_hex(value, out + length);
        length += field_hex_length;
    }
    return length;
}

}  // namespace

std::size_t write_shamir_share(uint128 index, const std::array<FieldElement, chunk_count>& values,
                               char* out) noexcept {
    return write_values(write_decimal(index, out), values, out);
}

std::size_t write_shamir_share_values(std::size_t index_length,
                                      const std::array<FieldElement, chunk_count>& values,
                                      char* out) noexcept {
    return write_values(index_length, values, out);
}

std::string format_shamir_share(uint128 index,
                                const std::array<FieldElement, chunk_count>& values) {
    char buffer[shamir_share_buffer_length];
    return std::string(buffer, write_shamir_share(index, values, buffer));
}

Result<ShamirShareHead> parse_shamir_share_head(std::string_view text) {
    // Every colon separates, empty fields included; exactly five fields are allowed.
    std::array<std::size_t, field_count - 1> colons;
    if (find_colons(text, colons.data(), colons.size()) != colons.size()) {
        return SharingError{"Invalid format"};
    }
    std::array<std::string_view, field_count> fields;
    std::size_t start = 0;
    for (std::size_t f = 0; f + 1 < field_count; ++f) {
        fields[f] = text.substr(start, colons[f] - start);
        start = colons[f] + 1;
    }
    fields[field_count - 1] = text.substr(start);

    const std::string_view field = fields[0];
    std::string_view digits = field;
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    const std::optional<uint128> parsed_index = parse_decimal(digits);
    if (!parsed_index) return invalid_index(field);
    const uint128 index = *parsed_index;
    if (index >= field_modulus) {
        return SharingError{"Invalid share index: " + to_decimal(index) + " must be < 2^127-1"};
    }

    ShamirShareHead head;
    head.index = index;
    for (std::size_t c = 0; c < chunk_count; ++c) head.value_fields[c] = fields[1 + c];
    return head;
}

Result<void> parse_shamir_share_values(const ShamirShareHead& head, ShamirShare& share) {
    share.index = head.index;
    // All four at once, tested once; only a share that fails is read again, value by value, for
    // the first one's exact message.
    if (read_field_hex_values(head.value_fields.data(), chunk_count, share.values.data())) {
        return {};
    }
    for (std::size_t c = 0; c < chunk_count; ++c) {
        Result<FieldElement> value = parse_field_hex(head.value_fields[c], "share value");
        if (!value) return std::move(value).error();
        share.values[c] = *value;
    }
    return {};
}

Result<ShamirShare> parse_shamir_share(std::string_view text) {
    Result<ShamirShareHead> head = parse_shamir_share_head(text);
    if (!head) return std::move(head).error();
    ShamirShare share;
    if (Result<void> values = parse_shamir_share_values(*head, share); !values) {
        return std::move(values).error();
    }
    return share;
}

}  // namespace varnhold
