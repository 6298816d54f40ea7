#include "safe/envelope.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/decimal.hpp"
#include "common/wipe.hpp"
#include "field/field_hex.hpp"
#include "field/hex_word.hpp"
#include "hash/text_check.hpp"
#include "safe/checksum.hpp"
#include "safe/share_refusals.hpp"

namespace varnhold {
namespace {

constexpr std::size_t set_id_length = 16;
constexpr std::size_t field_count = 6;  // tag+version, scheme, k, set id, number, bare share

// Plain decimal as the writer spells it: digits only, no leading zero, below `limit`. The fields
// read this way (k, the share number) are public.
bool read_canonical_decimal(std::string_view field, uint128 limit, uint128& out) noexcept {
    if (field.empty() || field.size() > 39 || (field.size() > 1 && field[0] == '0')) return false;
    const DecimalPrefix read = read_decimal_prefix(field);
    if (read.length != field.size() || read.overflow || read.value >= limit) return false;
    out = read.value;
    return true;
}

constexpr std::uint64_t ones = 0x0101010101010101u;
constexpr std::uint64_t high_bits = 0x8080808080808080u;

// What one pass over an envelope's bytes finds: whether every byte is printable ASCII (0x21 to
// 0x7E), and whether any printable byte lacks bit 5 (0x40 to 0x5F: '@', the upper-case letters
// and five signs). Every byte a writer puts in an envelope has it: digits, lower-case letters,
// '-', ':' and ','.
struct TextBytes {
    bool printable = false;
    bool unwritten = false;
};

constexpr std::uint64_t bit5 = ones * 0x20;

// Below sixteen bytes, eight at a time: a byte below 0x21 borrows into its high bit when 0x21 is
// subtracted (and had it clear), a byte above 0x7E carries into it when 1 is added, or had it set.
// The borrow test is exact as a whole-word answer; a short last word is padded with printable
// lower-case bytes. The bytes are secret: both answers are gathered over the whole text.
TextBytes scan_text(std::string_view text) noexcept {
    std::uint64_t outside = 0;
    std::uint64_t missing_bit5 = 0;
    auto test = [&outside, &missing_bit5](std::uint64_t w) {
        outside |= ((w - ones * 0x21) & ~w) | ((w + ones * (0x7F - 0x7E)) | w);
        missing_bit5 |= ~w;
    };
    const char* data = text.data();
    std::size_t left = text.size();
#if defined(__SSE2__)
    // Sixteen bytes a turn, then the last sixteen (which may repeat bytes already tested): a
    // signed comparison sees a byte of 0x80 or more as negative, below 0x21.
    if (left >= 16) {
        const __m128i below = _mm_set1_epi8(0x21 - 1);
        const __m128i above = _mm_set1_epi8(0x7E + 1);
        __m128i inside = _mm_set1_epi8(-1);
        __m128i every = _mm_set1_epi8(-1);  // the bits each lane had in every block
        auto block_test = [&](const char* at) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
            inside = _mm_and_si128(
                inside, _mm_and_si128(_mm_cmpgt_epi8(block, below), _mm_cmplt_epi8(block, above)));
            every = _mm_and_si128(every, block);
        };
        for (; left >= 16; left -= 16, data += 16) block_test(data);
        if (left > 0) block_test(data + left - 16);
        const __m128i bit5_lanes = _mm_set1_epi8(0x20);
        const auto lacking = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_cmpeq_epi8(_mm_and_si128(every, bit5_lanes), _mm_setzero_si128())));
        return TextBytes{_mm_movemask_epi8(inside) == 0xFFFF, lacking != 0};
    }
#endif
    for (; left >= 8; left -= 8, data += 8) {
        std::uint64_t w;
        std::memcpy(&w, data, 8);
        test(w);
    }
    if (left > 0) {
        // The last eight bytes, the tail in their top bytes; below eight, padded with 'a'.
        std::uint64_t w = ones * 'a';
        if (text.size() >= 8) {
            std::memcpy(&w, data + left - 8, 8);
        } else {
            std::memcpy(&w, data, left);
        }
        test(w);
    }
    return TextBytes{(outside & high_bits) == 0, (missing_bit5 & bit5) != 0};
}

// Whether any byte of a printable text is 'A' to 'F', gathered over the whole text.
bool has_upper_hex(std::string_view text) noexcept {
    std::uint64_t upper = 0;
    for (const char c : text) {
        const auto byte = static_cast<std::uint64_t>(static_cast<unsigned char>(c));
        // 1 in bit 8 exactly when 'A' <= byte <= 'F', by two borrows that never branch.
        upper |= ((byte - 'A') ^ 0x100) & (('F' - byte) ^ 0x100) & 0x100;
    }
    return upper == 0x100;
}

// Whether an envelope whose other fields all read is refused for upper-case digits in its bare
// share. `unwritten` (a byte without bit 5) is tested once and is public: such an envelope is
// refused whatever follows, here or by the bare share's reader; the text as written never
// pays for the second pass.
bool refuses_upper_case(bool unwritten, std::string_view bare) noexcept {
    return unwritten && has_upper_hex(bare);
}

SharingError malformed(const char* what) {
    return SharingError{std::string("envelope has ") + what};
}

}  // namespace

const char* scheme_name(Scheme scheme) noexcept {
    return scheme == Scheme::shamir ? "shamir" : "blakley";
}

std::size_t write_envelope_prefix(std::uint8_t version, Scheme scheme, std::uint64_t k,
                                  std::uint64_t set_id, char* out) noexcept {
    std::size_t at = 0;
    for (const char c : envelope_tag) out[at++] = c;
    for (const char c : version == 2 ? envelope_version_2 : envelope_version) out[at++] = c;
    out[at++] = '-';
    out[at++] = scheme == Scheme::shamir ? 's' : 'b';
    out[at++] = '-';
    at += write_decimal(k, out + at);
    out[at++] = '-';
    // The set id is public (every share of the set shows it).
    write_hex_u64(set_id, out + at);
    at += set_id_length;
    out[at++] = '-';
    return at;
}

static_assert(envelope_prefix_max_length ==
              envelope_tag.size() + envelope_version.size() + 4 + 20 + set_id_length + 1);
static_assert(envelope_rest_overhead == 39 + 2 + envelope_check_length);

namespace {

// Copies a text of a few hundred bytes at most into a buffer it does not overlap: 16 bytes a
// turn and a last 16 that may overlap the turn before, or a byte at a time below 16. The C++
// runtime's general copy costs several times more on these sizes.
void copy_text(char* out, std::string_view text) noexcept {
    const char* in = text.data();
    const std::size_t size = text.size();
#if defined(__SSE2__)
    if (size >= 16) {
        std::size_t i = 0;
        for (; i + 16 <= size; i += 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)));
        }
        if (i != size) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + size - 16),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + size - 16)));
        }
        return;
    }
#endif
    for (std::size_t i = 0; i < size; ++i) out[i] = in[i];
}

}  // namespace

std::size_t write_envelope_rest(char* out, std::size_t prefix_length, std::string_view number,
                                std::string_view bare) noexcept {
    std::size_t at = prefix_length;
    copy_text(out + at, number);
    at += number.size();
    out[at++] = '-';
    copy_text(out + at, bare);
    at += bare.size();
    const EnvelopeCheck check = envelope_check(std::string_view(out, at));
    out[at++] = '-';
    write_envelope_check(check, out + at);
    return at + envelope_check_length;
}

std::size_t write_envelope_values(
    char* out, std::size_t prefix_length, std::string_view number,
    std::span<const FieldElement, envelope_value_count> values) noexcept {
    std::size_t at = prefix_length;
    copy_text(out + at, number);
    at += number.size();
    out[at++] = '-';
    for (std::size_t c = 0; c < envelope_value_count; ++c) {
        write_field_hex(values[c], out + at);
        at += field_hex_length;
        out[at++] = c + 1 < envelope_value_count ? ':' : '-';
    }
    // What a writer writes is printable: the answer needs no test.
    (void)write_text_check(std::string_view(out, at - 1), out + at);
    return at + text_check_length;
}

namespace {

// One envelope as a string: the prefix of `version`, then what `write_rest(out, prefix length,
// number)` writes after it, at most `rest_room` bytes, which returns the envelope's length.
template <class WriteRest>
std::string written_envelope(const EnvelopeHeader& header, std::uint8_t version,
                             std::size_t rest_room, WriteRest write_rest) {
    std::string text(envelope_prefix_max_length + rest_room, '\0');
    const std::size_t prefix =
        write_envelope_prefix(version, header.scheme, header.k, header.set_id, text.data());
    char number[40];
    const std::string_view number_text(number, write_decimal(header.number, number));
    // Shrinking keeps the same memory: no unwiped copy is left behind.
    text.resize(write_rest(text.data(), prefix, number_text));
    return text;
}

}  // namespace

std::string wrap_values(const EnvelopeHeader& header,
                        std::span<const FieldElement, envelope_value_count> values) {
    return written_envelope(header, 2, envelope_values_rest_length,
                            [values](char* out, std::size_t prefix, std::string_view number) {
                                return write_envelope_values(out, prefix, number, values);
                            });
}

std::string wrap_share(const EnvelopeHeader& header, std::string_view bare) {
    return written_envelope(header, 1, envelope_rest_overhead + bare.size(),
                            [bare](char* out, std::size_t prefix, std::string_view number) {
                                return write_envelope_rest(out, prefix, number, bare);
                            });
}

std::string_view trim_share_text(std::string_view text) noexcept {
    constexpr std::string_view whitespace = " \t\r\n";
    constexpr std::string_view bom = "\xEF\xBB\xBF";
    std::size_t start = text.find_first_not_of(whitespace);
    if (start == std::string_view::npos) return {};
    text.remove_prefix(start);
    if (text.substr(0, bom.size()) == bom) {
        text.remove_prefix(bom.size());
        start = text.find_first_not_of(whitespace);
        if (start == std::string_view::npos) return {};
        text.remove_prefix(start);
    }
    return text.substr(0, text.find_last_not_of(whitespace) + 1);
}

namespace {

// A version this reader does not know: named when it is a number, with the chance that the
// text is mistyped (nothing after it could be verified).
SharingError unknown_version(std::string_view version) {
    uint128 number = 0;
    if (read_canonical_decimal(version, uint128{1} << 64, number)) {
        return SharingError{"names envelope version " + to_decimal(number) +
                            ", which this version cannot read, or is mistyped"};
    }
    return malformed("no valid version");
}

std::string_view version_field(std::string_view text) noexcept {
    std::size_t version_end = text.find('-');
    if (version_end == std::string_view::npos) version_end = text.size();
    return text.substr(envelope_tag.size(), version_end - envelope_tag.size());
}

// The text before the check, once the check (the last field, of fixed length) matches it. A "-"
// among the check's digits fails their reading.
Result<std::string_view> checked_body(std::string_view text) {
    const std::size_t check_start = text.size() - envelope_check_length - 1;
    if (text.size() < envelope_check_length + 1 || text[check_start] != '-') {
        return malformed("no valid checksum field");
    }
    EnvelopeCheck written{};
    if (!read_envelope_check(text.substr(check_start + 1), written)) {
        return malformed("no valid checksum field");
    }
    const std::string_view body = text.substr(0, check_start);
    if (envelope_check(body) != written) return SharingError{"checksum does not match"};
    return body;
}

using EnvelopeFields = std::array<std::string_view, field_count>;

// The fields between the body's dashes, every dash found in one pass (sixteen bytes a turn where
// the target has SSE2, their dashes as the bits of one mask) rather than by a search per field.
// Where the dashes are is the text's structure, which is public.
Result<EnvelopeFields> split_fields(std::string_view body) {
    EnvelopeFields fields;
    std::size_t count = 0;
    std::size_t start = 0;
    // False when the dash would begin a seventh field.
    auto cut = [&](std::size_t dash) {
        if (count + 1 == field_count) return false;
        fields[count++] = body.substr(start, dash - start);
        start = dash + 1;
        return true;
    };
    const char* data = body.data();
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i dash = _mm_set1_epi8('-');
    for (; i + 16 <= body.size(); i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        for (auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, dash)));
             mask != 0; mask &= mask - 1) {
            if (!cut(i + static_cast<std::size_t>(std::countr_zero(mask)))) {
                return malformed("too many fields");
            }
        }
    }
#endif
    for (; i < body.size(); ++i) {
        if (data[i] == '-' && !cut(i)) return malformed("too many fields");
    }
    fields[count++] = body.substr(start);
    if (count != field_count) return malformed("too few fields");
    return fields;
}

// The fields of a text that is what a writer made (or forged with a valid check). `unwritten`:
// the text has a byte without bit 5 (see scan_text).
Result<OpenedEnvelope> read_fields(const EnvelopeFields& fields, bool unwritten) {
    OpenedEnvelope opened;
    opened.header.version = fields[0] == "vh2" ? 2 : 1;
    if (fields[1] == "s") {
        opened.header.scheme = Scheme::shamir;
    } else if (fields[1] == "b") {
        opened.header.scheme = Scheme::blakley;
    } else {
        return malformed("an unknown scheme");
    }
    uint128 k = 0;
    if (!read_canonical_decimal(fields[2], envelope_max_k + 1, k) || k < 2) {
        return malformed("an invalid threshold");
    }
    opened.header.k = static_cast<std::uint64_t>(k);
    if (fields[3].size() != set_id_length) return malformed("an invalid set id");
    std::uint64_t invalid = 0;
    opened.header.set_id = read_hex_u64<HexCase::lower>(fields[3].data(), invalid);
    if (invalid != 0) return malformed("an invalid set id");
    const uint128 number_limit =
        opened.header.scheme == Scheme::shamir ? field_modulus : uint128{1} << 64;
    if (!read_canonical_decimal(fields[4], number_limit, opened.header.number) ||
        opened.header.number == 0) {
        return malformed("an invalid share number");
    }
    // Last, after the check and the other fields, so that a typo still reads as one.
    if (refuses_upper_case(unwritten, fields[5])) {
        return SharingError{std::string(upper_case_in_envelope)};
    }
    opened.number_field = fields[4];
    opened.bare = fields[5];
    return opened;
}

// The exact reason six values (already free of upper-case digits) do not read, value by value.
SharingError values_error(std::string_view field) {
    std::size_t count = 1;
    for (const char c : field) count += c == ':' ? 1 : 0;
    if (count != envelope_value_count) {
        return SharingError{"envelope has " + to_decimal(count) + " values, not 6"};
    }
    for (std::size_t start = 0; start <= field.size();) {
        std::size_t end = field.find(':', start);
        if (end == std::string_view::npos) end = field.size();
        const std::string_view value = field.substr(start, end - start);
        if (value.size() != field_hex_length ||
            value.find_first_not_of("0123456789abcdef") != std::string_view::npos) {
            return malformed("an invalid share value");
        }
        if (!parse_field_hex(value, "value")) return malformed("a share value of 2^127-1 or more");
        start = end + 1;
    }
    return malformed("an invalid share value");
}

// The six values of a version 2 envelope into `values`: all digits and every "below p" are
// gathered without a branch on them; only a failure looks closer, for its message.
std::optional<SharingError> read_values(std::string_view field,
                                        std::span<FieldElement, envelope_value_count> values) {
    bool separated = field.size() == envelope_values_length;
    for (std::size_t c = 1; separated && c < envelope_value_count; ++c) {
        separated = field[c * 33 - 1] == ':';
    }
    if (separated && read_field_hex_strided(field.data(), 33, envelope_value_count, values.data()))
        return std::nullopt;
    secure_wipe(values.data(), values.size_bytes());
    return values_error(field);
}

// Eighteen lowercase hexadecimal digits equal to those the text check gives `body`. The digits
// come from a secret text: they are compared whole, without a branch on any of them.
enum class CheckField : std::uint8_t { matches, differs, invalid };

CheckField compare_text_check(std::string_view body, std::string_view written) noexcept {
    char computed[text_check_length];
    (void)write_text_check(body, computed);
    unsigned invalid = 0, differs = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    // The first sixteen digits at once: a byte is valid when it is in '0'-'9' or 'a'-'f' (signed
    // comparisons; no digit has the high bit).
    {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(written.data()));
        const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('0' - 1)),
                                            _mm_cmplt_epi8(c, _mm_set1_epi8('9' + 1)));
        const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('a' - 1)),
                                             _mm_cmplt_epi8(c, _mm_set1_epi8('f' + 1)));
        const __m128i same =
            _mm_cmpeq_epi8(c, _mm_loadu_si128(reinterpret_cast<const __m128i*>(computed)));
        invalid = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(digit, letter))) ^ 0xFFFFu;
        differs = static_cast<unsigned>(_mm_movemask_epi8(same)) ^ 0xFFFFu;
        i = 16;
    }
#endif
    for (; i < text_check_length; ++i) {
        const unsigned c = static_cast<unsigned char>(written[i]);
        // Outside '0'-'9' and 'a'-'f': each range test borrows into bit 8 when it fails.
        const unsigned digit = ((c - '0') | ('9' - c)) & 0x100;
        const unsigned letter = ((c - 'a') | ('f' - c)) & 0x100;
        invalid |= digit & letter;
        differs |= c ^ static_cast<unsigned char>(computed[i]);
    }
    secure_wipe(computed, sizeof computed);
    if (invalid != 0) return CheckField::invalid;
    return differs != 0 ? CheckField::differs : CheckField::matches;
}

Result<OpenedEnvelope> open_version_2(std::string_view text, bool unwritten,
                                      std::span<FieldElement, envelope_value_count> values) {
    const std::size_t check_start = text.size() - text_check_length - 1;
    const std::string_view body = text.substr(0, check_start);
    switch (compare_text_check(body, text.substr(check_start + 1))) {
        case CheckField::invalid:
            return malformed("no valid checksum field");
        case CheckField::differs:
            return SharingError{"checksum does not match"};
        case CheckField::matches:
            break;
    }
    const std::string_view version = version_field(text);
    // A version 1 envelope ends in ten digits; a later version would be intact but unknown.
    if (version == envelope_version) return malformed("no valid checksum field");
    if (version != envelope_version_2) return unknown_version(version);
    const Result<EnvelopeFields> fields = split_fields(body);
    if (!fields) return fields.error();
    Result<OpenedEnvelope> opened = read_fields(*fields, unwritten);
    if (!opened) return opened;
    if (std::optional<SharingError> error = read_values(opened->bare, values)) {
        return std::move(*error);
    }
    return opened;
}

}  // namespace

Result<OpenedEnvelope> open_envelope(std::string_view text,
                                     std::span<FieldElement, envelope_value_count> values) {
    // Callers sort envelopes from bare shares by the tag already; without it nothing below holds.
    if (!looks_like_envelope(text)) return SharingError{"is not an envelope"};
    // One flag for the whole text: its characters are secret, so none of them ends the loop.
    const TextBytes bytes = scan_text(text);
    if (!bytes.printable) return SharingError{"contains a character that no share has"};
    // The last field's length tells the check (ten digits in version 1, eighteen in version 2),
    // which is verified before anything it covers is read.
    const std::size_t last_dash = text.rfind('-');
    if (last_dash != std::string_view::npos && text.size() - last_dash - 1 == text_check_length) {
        return open_version_2(text, bytes.unwritten, values);
    }
    const std::string_view version = version_field(text);
    if (version == envelope_version_2) return malformed("no valid checksum field");
    if (version != envelope_version) return unknown_version(version);
    const Result<std::string_view> body = checked_body(text);
    if (!body) return body.error();
    const Result<EnvelopeFields> fields = split_fields(*body);
    if (!fields) return fields.error();
    return read_fields(*fields, bytes.unwritten);
}

Result<OpenedEnvelope> open_envelope(std::string_view text) {
    std::array<FieldElement, envelope_value_count> values{};
    const WipeAtExit wipe_values(values);
    return open_envelope(text, values);
}

}  // namespace varnhold
