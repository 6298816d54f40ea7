// The envelope reader on arbitrary bytes, both ways round. An input starting with byte 0 is read
// as text: whatever opens must be written back by wrap_share to the very same text (the reader
// accepts only what the writer spells), and every refusal carries one of the reader's messages.
// (The reader is only handed texts that start with the tag, as the set reader does.) Any other
// input builds a header and a bare share from its bytes: wrapping and then opening
// must give back exactly that header and bare share.

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.hpp"
#include "safe/envelope.hpp"

using namespace varnhold;

namespace {

void read_back(std::string_view text) {
    const std::string_view trimmed = trim_share_text(text);
    fuzz::check(trimmed.size() <= text.size(), "trimming made the text longer");
    // Texts without the tag are bare shares and never reach the reader.
    if (!looks_like_envelope(trimmed)) return;
    const Result<OpenedEnvelope> opened = open_envelope(trimmed);
    if (!opened) {
        const std::string& message = opened.error().message;
        fuzz::check(fuzz::starts_with_any(
                        message, {"contains a character that no share has",
                                  "is written in envelope version ", "envelope has ",
                                  "checksum does not match", "has upper-case hexadecimal digits"}),
                    "unexpected message", message);
        return;
    }
    const EnvelopeHeader& h = opened->header;
    fuzz::check(h.k >= 2 && h.k <= envelope_max_k, "threshold out of range");
    fuzz::check(h.number != 0, "share number 0 accepted");
    fuzz::check(h.scheme == Scheme::blakley || h.number < field_modulus,
                "Shamir number not below p");
    const std::string written = wrap_share(h, opened->bare);
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
    const std::string bare = bare_from(input);

    const std::string text = wrap_share(header, bare);
    const Result<OpenedEnvelope> opened = open_envelope(text);
    fuzz::check(opened.ok(), "a written envelope did not open",
                opened ? std::string_view{} : opened.error().message);
    const EnvelopeHeader& h = opened->header;
    fuzz::check(h.scheme == header.scheme && h.k == header.k && h.set_id == header.set_id &&
                    h.number == header.number && opened->bare == bare,
                "the envelope opened to another header or share", text);
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
