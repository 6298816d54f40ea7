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

std::size_t write_shamir_share(std::string_view index_digits,
                               const std::array<FieldElement, chunk_count>& values,
                               char* out) noexcept {
    std::memcpy(out, index_digits.data(), index_digits.size());
    return write_values(index_digits.size(), values, out);
}

std::string format_shamir_share(uint128 index,
                                const std::array<FieldElement, chunk_count>& values) {
    char buffer[shamir_share_buffer_length];
    return std::string(buffer, write_shamir_share(index, values, buffer));
}

Result<ShamirShareHead> parse_shamir_share_head(std::string_view text) {
    // Every colon separates, empty fields included; exactly five fields are allowed.
    std::array<std::string_view, field_count> fields;
    std::size_t count = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = text.find(':', start);
        const std::size_t end = colon == std::string_view::npos ? text.size() : colon;
        if (count == field_count) return SharingError{"Invalid format"};
        fields[count++] = text.substr(start, end - start);
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    if (count != field_count) return SharingError{"Invalid format"};

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
