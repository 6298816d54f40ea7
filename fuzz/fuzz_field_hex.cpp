// The field element text codec on arbitrary bytes: accepted text is exactly 32 hexadecimal
// digits of a value below p and writes back as its lowercase form; everything else fails with
// one of the two messages.

#include <algorithm>
#include <cctype>

#include "field/field_hex.hpp"
#include "fuzz_support.hpp"

using namespace varnhold;

namespace {

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const bool well_formed =
        text.size() == field_hex_length && std::all_of(text.begin(), text.end(), is_hex_digit);
    const Result<FieldElement> value = parse_field_hex(text, "label");
    if (!well_formed) {
        fuzz::check(
            !value.ok() && value.error().message == "Invalid label: expected exactly 32 hex chars",
            "malformed text not rejected with the length message", text);
        return 0;
    }
    // 32 digits spell p or more exactly when the first is 8..f, or it is 7 and all others f.
    const auto first = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    const bool at_least_p =
        first >= '8' || (first == '7' && std::all_of(text.begin() + 1, text.end(),
                                                     [](char c) { return c == 'f' || c == 'F'; }));
    fuzz::check(value.ok() == !at_least_p, "the bound on p was applied wrongly", text);
    if (!value) {
        fuzz::check(value.error().message == "Invalid label: value must be < 2^127-1",
                    "well-formed text rejected with the wrong message", value.error().message);
        return 0;
    }
    fuzz::check(value->value < field_modulus, "accepted value not below p");
    const std::string written = format_field_hex(*value);
    for (std::size_t i = 0; i < field_hex_length; ++i) {
        fuzz::check(written[i] == std::tolower(static_cast<unsigned char>(text[i])),
                    "written text is not the lowercase input", written);
    }
    return 0;
}
