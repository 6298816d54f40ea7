// The envelope reader on arbitrary bytes, both ways round. An input starting with byte 0 is read
// as text: whatever opens must be written back by wrap_share (version 1) or wrap_values (version 2)
// to the very same text (the reader accepts only what the writer spells), and every refusal
// carries one of the reader's messages. (The reader is only handed texts that start with the tag,
// as the set reader does.) Any other input builds a header and a bare share or six values from its
// bytes: wrapping and then opening must give back exactly those.

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.hpp"
#include "safe/envelope.hpp"

#include <array>

using namespace varnhold;

namespace {

void read_back(std::string_view text) {
    const std::string_view trimmed = trim_share_text(text);
    fuzz::check(trimmed.size() <= text.size(), "trimming made the text longer");
    // Texts without the tag are bare shares and never reach the reader.
    if (!looks_like_envelope(trimmed)) return;
    std::array<FieldElement, envelope_value_count> values{};
    const Result<OpenedEnvelope> opened = open_envelope(trimmed, values);
    if (!opened) {
        const std::string& message = opened.error().message;
        fuzz::check(fuzz::starts_with_any(
                        message, {"contains a character that no share has",
                                  "names envelope version ", "envelope has ",
                                  "checksum does not match", "has upper-case hexadecimal digits"}),
                    "unexpected message", message);
        return;
    }
    const EnvelopeHeader& h = opened->header;
    fuzz::check(h.k >= 2 && h.k <= envelope_max_k, "threshold out of range");
    fuzz::check(h.number != 0, "share number 0 accepted");
    fuzz::check(h.scheme == Scheme::blakley || h.number < field_modulus,
                "Shamir number not below p");
    const std::string written =
        h.version == 2 ? wrap_values(h, values) : wrap_share(h, opened->bare);
    fuzz::check(written == trimmed, "the opened envelope did not write back to its text", trimmed);
}

// A bare share never holds the separator or anything outside printable ASCII, and inside an
// envelope it is written in lower case (upper-case hex digits are refused there).
std::string bare_from(FuzzedDataProvider& input) {
    std::string bare = input.ConsumeRandomLengthString(512);
    for (char& c : bare) {
        c = static_cast<char>('!' + static_cast<unsigned char>(c) % ('~' - '!' + 1));
        if (c == '-') c = '_';
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    }
    return bare;
}

void write_then_read(FuzzedDataProvider& input) {
    EnvelopeHeader header;
    header.scheme = input.ConsumeBool() ? Scheme::shamir : Scheme::blakley;
    header.k = input.ConsumeIntegralInRange<std::uint64_t>(2, envelope_max_k);
    header.set_id = input.ConsumeIntegral<std::uint64_t>();
    const uint128 high = input.ConsumeIntegral<std::uint64_t>();
    const uint128 low = input.ConsumeIntegral<std::uint64_t>();
    const uint128 limit = header.scheme == Scheme::shamir ? field_modulus : uint128{1} << 64;
    header.number = 1 + ((high << 64) | low) % (limit - 1);
    std::array<FieldElement, envelope_value_count> values{};
    std::string bare;
    if (input.ConsumeBool()) {
        header.version = 2;
        for (FieldElement& v : values) {
            const uint128 v_high = input.ConsumeIntegral<std::uint64_t>();
            v = field_reduce((v_high << 64) | input.ConsumeIntegral<std::uint64_t>());
        }
    } else {
        bare = bare_from(input);
    }

    const std::string text =
        header.version == 2 ? wrap_values(header, values) : wrap_share(header, bare);
    std::array<FieldElement, envelope_value_count> read{};
    const Result<OpenedEnvelope> opened = open_envelope(text, read);
    fuzz::check(opened.ok(), "a written envelope did not open",
                opened ? std::string_view{} : opened.error().message);
    const EnvelopeHeader& h = opened->header;
    bool same = h.scheme == header.scheme && h.k == header.k && h.set_id == header.set_id &&
                h.number == header.number && h.version == header.version;
    if (header.version == 2) {
        for (std::size_t c = 0; c < envelope_value_count; ++c)
            same = same && read[c].value == values[c].value;
    } else {
        same = same && opened->bare == bare;
    }
    fuzz::check(same, "the envelope opened to another header or share", text);
    fuzz::check(trim_share_text(" \r\n" + text + "\t\n") == text, "trimming changed the envelope");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    if (data[0] == 0) {
        read_back(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
        return 0;
    }
    FuzzedDataProvider input(data + 1, size - 1);
    write_then_read(input);
    return 0;
}
