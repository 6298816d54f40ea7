#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "field/field.hpp"

namespace varnhold {

enum class Scheme : std::uint8_t { shamir, blakley };

// What an envelope says about the share it carries.
struct EnvelopeHeader {
    Scheme scheme = Scheme::shamir;
    std::uint64_t k = 0;
    std::uint64_t set_id = 0;  // the same for every share of one split
    uint128 number = 0;        // the share's number in its set; for Shamir its index
    std::uint8_t version = 1;  // 1: a bare share inside; 2: six values, no bare share
};

// Version 2 carries, instead of a bare share, six values: the four chunks' shares, then the
// key's and the tag's (share_tag.hpp), each 32 lowercase hexadecimal digits, joined by ':'.
inline constexpr std::size_t envelope_value_count = 6;
inline constexpr std::size_t envelope_values_length = envelope_value_count * 33 - 1;

// An envelope is one line of printable ASCII without spaces:
//   vh1-{s|b}-{k}-{set id, 16 hex}-{number}-{bare share}-{check, 10 hex}
// "vh" is the tag (no bare share starts with "v"), 1 the format version, k and the number plain
// decimal, and the check covers every character before its own "-".
inline constexpr std::string_view envelope_tag = "vh";
inline constexpr std::string_view envelope_version = "1";
inline constexpr std::string_view envelope_version_2 = "2";
inline constexpr std::uint64_t envelope_max_k = 1048576;

std::string wrap_share(const EnvelopeHeader& header, std::string_view bare);

// The same text written into a caller's buffer in two steps, so that a split writes the part its
// shares have in common once: the prefix "vh1-{s|b}-{k}-{set id}-", then for each share the rest
// after it. The longest prefix (a 20-digit k) and the most the rest adds to the bare share (a
// 39-digit number, two separators, the check):
inline constexpr std::size_t envelope_prefix_max_length = 44;
inline constexpr std::size_t envelope_rest_overhead = 39 + 1 + 1 + 10;

// Writes the prefix to out (envelope_prefix_max_length bytes) and returns its length.
std::size_t write_envelope_prefix(std::uint8_t version, Scheme scheme, std::uint64_t k,
                                  std::uint64_t set_id, char* out) noexcept;

// `out` holds a prefix of `prefix_length` bytes and has room for envelope_rest_overhead +
// bare.size() more: writes the number (its decimal text, at most 39 digits), the bare share and
// the check of the whole text after it, and returns the envelope's length.
std::size_t write_envelope_rest(char* out, std::size_t prefix_length, std::string_view number,
                                std::string_view bare) noexcept;

// Version 2: after a prefix of version 2, writes the number, the six values and the check, and
// returns the envelope's length; `out` has room for envelope_values_rest_length more bytes.
inline constexpr std::size_t envelope_values_rest_length = 39 + 1 + envelope_values_length + 1 + 18;
std::size_t write_envelope_values(
    char* out, std::size_t prefix_length, std::string_view number,
    std::span<const FieldElement, envelope_value_count> values) noexcept;

// A version 2 envelope as one string.
std::string wrap_values(const EnvelopeHeader& header,
                        std::span<const FieldElement, envelope_value_count> values);

struct OpenedEnvelope {
    EnvelopeHeader header;
    std::string_view bare;          // version 1: the bare share, in the text given to open_envelope
    std::string_view number_field;  // the number as written
};

// Reads an envelope (already trimmed). A version 1 envelope's bare share is not parsed here; a
// version 2 envelope's six values are, into `values` (left alone for version 1). Messages are
// position-free and never repeat the text.
Result<OpenedEnvelope> open_envelope(std::string_view text,
                                     std::span<FieldElement, envelope_value_count> values);
// The same for callers that need only the fields: the values are read and wiped.
Result<OpenedEnvelope> open_envelope(std::string_view text);

// Drops a UTF-8 byte-order mark and surrounding spaces, tabs, CR and LF; nothing else.
std::string_view trim_share_text(std::string_view text) noexcept;

constexpr bool looks_like_envelope(std::string_view trimmed) noexcept {
    return trimmed.substr(0, envelope_tag.size()) == envelope_tag;
}

const char* scheme_name(Scheme scheme) noexcept;

}  // namespace varnhold
