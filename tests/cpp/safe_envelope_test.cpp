#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "blakley/blakley.hpp"
#include "blakley/blakley_share.hpp"
#include "random/batched_source.hpp"
#include "random/entropy_source.hpp"
#include "random/random_field.hpp"
#include "safe/checksum.hpp"
#include "safe/envelope.hpp"
#include "safe/safe_split.hpp"
#include "safe/share_tag.hpp"
#include "shamir/shamir.hpp"
#include "shamir/shamir_share.hpp"
#include "test_support.hpp"

namespace varnhold {
namespace {

using testing::counting_secret;
using testing::ScriptedSource;

// The fixed random stream of the documented vectors: byte i is (37 i + 11) mod 256.
std::vector<std::uint8_t> vector_stream(std::size_t length, std::size_t skip = 0) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<std::uint8_t>(37 * (i + skip) + 11);
    return bytes;
}

std::vector<std::string> split_with(Scheme scheme, bool envelope, std::vector<std::uint8_t> stream,
                                    std::uint64_t k = 2, std::uint64_t n = 3) {
    ScriptedSource source(std::move(stream));
    VectorShareWriter out;
    Result<void> done = envelope ? safe_split(scheme, counting_secret(), k, n, source, out)
                        : scheme == Scheme::shamir
                            ? shamir_split(counting_secret(), k, n, source, out)
                            : blakley_split(counting_secret(), k, n, source, out);
    EXPECT_TRUE(done.ok());
    return out.texts;
}

// "scheme k form number text" lines of the format document.
std::map<std::string, std::string> documented_vectors() {
    std::ifstream file(VARNHOLD_SOURCE_DIR "/docs/share-format.md");
    std::map<std::string, std::string> vectors;
    std::string line;
    const std::set<std::string> forms = {"bare", "envelope", "v2", "key", "tag"};
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string scheme, k, form, number, text;
        if (!(words >> scheme >> k >> form >> number >> text)) continue;
        if ((scheme == "shamir" || scheme == "blakley") && forms.contains(form)) {
            vectors[scheme + " " + k + " " + form + " " + number] = text;
        }
    }
    return vectors;
}

// The version 1 envelopes a split wrote before version 2: the bare split of the stream after the
// set id, each share wrapped under that set id.
std::vector<std::string> version_1_split(Scheme scheme, std::uint64_t k) {
    const std::vector<std::uint8_t> stream = vector_stream(2000);
    std::uint64_t set_id = 0;
    for (std::size_t b = 8; b-- > 0;) set_id = set_id << 8 | stream[b];
    const std::vector<std::string> bare =
        split_with(scheme, false, vector_stream(2000, 8), k, k + 1);
    std::vector<std::string> wrapped;
    for (std::size_t i = 0; i < bare.size(); ++i)
        wrapped.push_back(wrap_share(EnvelopeHeader{scheme, k, set_id, i + 1}, bare[i]));
    return wrapped;
}

TEST(ShareFormatDocument, VectorsAreReproduced) {
    const std::map<std::string, std::string> vectors = documented_vectors();
    // Sets of k = 2, 3 and 5, each of n = k + 1 shares, in both schemes: bare shares and
    // envelopes of both versions, and each version 2 set's key and tag.
    ASSERT_EQ(vectors.size(), 2u * (3u * (3u + 4u + 6u) + 2u * 3u));
    for (const Scheme scheme : {Scheme::shamir, Scheme::blakley}) {
        for (const std::uint64_t k : {2u, 3u, 5u}) {
            const std::vector<std::string> bare =
                split_with(scheme, false, vector_stream(2000, 8), k, k + 1);
            const std::vector<std::string> version_1 = version_1_split(scheme, k);
            const std::vector<std::string> version_2 =
                split_with(scheme, true, vector_stream(2000), k, k + 1);
            auto name = [&](const char* form, const std::string& number) {
                return std::string(scheme_name(scheme)) + " " + std::to_string(k) + " " + form +
                       " " + number;
            };
            for (std::size_t i = 0; i <= k; ++i) {
                const std::string number = std::to_string(i + 1);
                EXPECT_EQ(vectors.at(name("bare", number)), bare[i]) << name("bare", number);
                EXPECT_EQ(vectors.at(name("envelope", number)), version_1[i]) << number;
                EXPECT_EQ(vectors.at(name("v2", number)), version_2[i]) << name("v2", number);
            }
            // The key is the first draw after the set id; the tag follows from it.
            ScriptedSource after_set_id(vector_stream(16, 8));
            const FieldElement key = random_field_element(after_set_id);
            SecretBytes secret;
            for (std::size_t b = 0; b < secret.size; ++b)
                secret.bytes[b] = static_cast<std::uint8_t>(counting_secret()[b]);
            EXPECT_EQ(vectors.at(name("key", "-")), testing::hex(key.value));
            EXPECT_EQ(vectors.at(name("tag", "-")),
                      testing::hex(secret_tag(key, secret.bytes).value));
        }
    }
}

std::string upper_case(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

TEST(Envelope, RoundTripAndRejections) {
    const std::string bare = split_with(Scheme::shamir, false, vector_stream(400))[0];
    const std::string text =
        wrap_share(EnvelopeHeader{Scheme::shamir, 2, 0x0123456789abcdefULL, 1}, bare);
    ASSERT_TRUE(text.starts_with("vh1-s-2-0123456789abcdef-1-1:"));
    const Result<OpenedEnvelope> opened = open_envelope(text);
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(opened->header.set_id, 0x0123456789abcdefULL);
    EXPECT_EQ(opened->bare, bare);

    auto rewrap = [](std::string body) {
        char check[envelope_check_length];
        write_envelope_check(envelope_check(body), check);
        return body + "-" + std::string(check, sizeof check);
    };
    const std::string tail = "-0123456789abcdef-1-" + bare;
    const struct {
        std::string text;
        std::string message;
    } rows[] = {
        {rewrap("vh3-s-2" + tail),
         "names envelope version 3, which this version cannot read, or is mistyped"},
        {rewrap("vh2-s-2" + tail), "envelope has no valid checksum field"},
        {rewrap("vhx-s-2" + tail), "envelope has no valid version"},
        {rewrap("vh1-x-2" + tail), "envelope has an unknown scheme"},
        {rewrap("vh1-s-1" + tail), "envelope has an invalid threshold"},
        {rewrap("vh1-s-02" + tail), "envelope has an invalid threshold"},
        {rewrap("vh1-s-1048577" + tail), "envelope has an invalid threshold"},
        {rewrap("vh1-s-2-0123456789abcdeF-1-" + bare), "envelope has an invalid set id"},
        {rewrap("vh1-s-2-0123456789abcde-1-" + bare), "envelope has an invalid set id"},
        {rewrap("vh1-s-2-/123456789abcdef-1-" + bare), "envelope has an invalid set id"},
        {rewrap("vh1-s-2-01234567g9abcdef-1-" + bare), "envelope has an invalid set id"},
        {rewrap("vh1-s-2-0123456789:bcdef-1-" + bare), "envelope has an invalid set id"},
        {rewrap("vh1-s-2-0123456789ab`def-1-" + bare), "envelope has an invalid set id"},
        {rewrap("vh1-s-2-0123456789abcdef-170141183460469231731687303715884105727-" + bare),
         "envelope has an invalid share number"},
        {rewrap("vh1-s-2-0123456789abcdef-999999999999999999999999999999999999999-" + bare),
         "envelope has an invalid share number"},
        {rewrap("vh1-b-2-0123456789abcdef-18446744073709551616-" + bare),
         "envelope has an invalid share number"},
        {rewrap("vh1-s-2-0123456789abcdef-1a-" + bare), "envelope has an invalid share number"},
        {rewrap("vh1-s-2-0123456789abcdef-0-" + bare), "envelope has an invalid share number"},
        {rewrap("vh1-s-2-0123456789abcdef-1-" + upper_case(bare)),
         "has upper-case hexadecimal digits, which no envelope is written with"},
        {rewrap("vh1-s-2-0123456789abcdef-1-" + bare + "-x"), "envelope has too many fields"},
        {rewrap("vh1-s-2-0123456789abcdef-1"), "envelope has too few fields"},
        {text.substr(0, text.size() - 1), "envelope has no valid checksum field"},
        {text.substr(0, text.size() - 1) + "G", "envelope has no valid checksum field"},
        {text.substr(0, 20) + " " + text.substr(21), "contains a character that no share has"},
        {"", "is not an envelope"},
        {"v", "is not an envelope"},
        {"Vh" + text.substr(2), "is not an envelope"},
    };
    for (const auto& row : rows) {
        const Result<OpenedEnvelope> result = open_envelope(row.text);
        ASSERT_FALSE(result.ok()) << row.text;
        EXPECT_EQ(result.error().message, row.message) << row.text;
    }
    // Numbers at the top of their ranges, read on both sides of a word's 19 digits.
    const struct {
        std::string head;
        uint128 number;
    } largest[] = {
        {"vh1-s-2-0123456789abcdef-170141183460469231731687303715884105726-", field_modulus - 1},
        {"vh1-b-2-0123456789abcdef-18446744073709551615-", ~std::uint64_t{0}},
        {"vh1-b-2-0123456789abcdef-10000000000000000000-", 10000000000000000000u},
        {"vh1-b-2-0123456789abcdef-9999999999999999999-", 9999999999999999999u},
    };
    for (const auto& row : largest) {
        const Result<OpenedEnvelope> result = open_envelope(rewrap(row.head + bare));
        ASSERT_TRUE(result.ok()) << row.head << result.error().message;
        EXPECT_TRUE(result->header.number == row.number) << row.head;
        EXPECT_EQ(result->header.set_id, 0x0123456789abcdefULL) << row.head;
    }
}

TEST(Envelope, TrimForgivesOnlyWhitespaceLineEndsAndByteOrderMark) {
    const struct {
        std::string in;
        std::string out;
    } rows[] = {
        {"vh1-x", "vh1-x"},
        {"  vh1-x \r\n", "vh1-x"},
        {"\xEF\xBB\xBFvh1-x\n", "vh1-x"},
        {"\n\xEF\xBB\xBF vh1-x\t", "vh1-x"},
        {"vh1-x\xEF\xBB\xBF", "vh1-x\xEF\xBB\xBF"},
        {"v h", "v h"},
        {" \r\n", ""},
    };
    for (const auto& row : rows) EXPECT_EQ(trim_share_text(row.in), row.out);
}

// Whether the reading path would accept the text as a share with the original's content.
bool accepted(const std::string& text, const OpenedEnvelope& original, std::uint64_t k) {
    const std::string_view trimmed = trim_share_text(text);
    if (!looks_like_envelope(trimmed)) {
        // Read as a bare share, which the envelope's remains never are.
        return original.header.scheme == Scheme::shamir ? parse_shamir_share(trimmed).ok()
                                                        : parse_blakley_share(trimmed, 0, k).ok();
    }
    return open_envelope(trimmed).ok();
}

// Every single substitution, insertion, deletion and swap of neighbours, of every byte value,
// anywhere in a share of each scheme, is turned down. Whitespace added at either end is
// forgiven by design and is the one exception.
TEST(Envelope, ExhaustiveSingleErrorsAreAllDetected) {
    for (const Scheme scheme : {Scheme::shamir, Scheme::blakley}) {
        for (const std::string& share : split_with(scheme, true, vector_stream(400))) {
            const OpenedEnvelope original = *open_envelope(share);
            std::size_t variants = 0;
            auto expect_rejected = [&](const std::string& variant, const char* kind,
                                       std::size_t at) {
                ++variants;
                EXPECT_FALSE(accepted(variant, original, 2)) << kind << " at " << at;
            };
            for (std::size_t at = 0; at <= share.size(); ++at) {
                for (int byte = 0; byte < 256; ++byte) {
                    const char c = static_cast<char>(byte);
                    const bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\n';
                    if (!(blank && (at == 0 || at == share.size()))) {
                        expect_rejected(share.substr(0, at) + c + share.substr(at), "insertion",
                                        at);
                    }
                    if (at < share.size() && c != share[at]) {
                        std::string variant = share;
                        variant[at] = c;
                        expect_rejected(variant, "substitution", at);
                    }
                }
                if (at < share.size())
                    expect_rejected(share.substr(0, at) + share.substr(at + 1), "deletion", at);
                if (at + 1 < share.size() && share[at] != share[at + 1]) {
                    std::string variant = share;
                    std::swap(variant[at], variant[at + 1]);
                    expect_rejected(variant, "transposition", at);
                }
                if (::testing::Test::HasFailure()) return;
            }
            EXPECT_GT(variants, 500 * share.size());
        }
    }
}

// The kernel seam, counting the requests that ask for bytes.
std::size_t getrandom_requests = 0;

long counting_getrandom(void* buffer, std::size_t length, unsigned int) {
    if (length != 0) ++getrandom_requests;
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + 1);
    return static_cast<long>(length);
}

TEST(BatchedRandomness, OneRequestPerSplitAgainstOnePerDraw) {
    SystemCalls calls = kernel_system_calls();
    calls.getrandom = counting_getrandom;
    EntropySource source(calls);
    const struct {
        Scheme scheme;
        bool envelope;
        std::size_t requests;
    } rows[] = {
        // 4 chunks x 2 coefficients x 2 draws for the plain split.
        {Scheme::shamir, true, 1},
        {Scheme::shamir, false, 16},
        {Scheme::blakley, true, 1},
        {Scheme::blakley, false, 2 * (4 * 2 + 5 * 3)},
    };
    for (const auto& row : rows) {
        getrandom_requests = 0;
        VectorShareWriter out;
        const Result<void> done =
            row.envelope ? safe_split(row.scheme, counting_secret(), 3, 5, source, out)
            : row.scheme == Scheme::shamir ? shamir_split(counting_secret(), 3, 5, source, out)
                                           : blakley_split(counting_secret(), 3, 5, source, out);
        ASSERT_TRUE(done.ok());
        EXPECT_EQ(out.texts.size(), 5u);
        EXPECT_EQ(getrandom_requests, row.requests) << scheme_name(row.scheme) << row.envelope;
    }
    // A split that fails validation draws nothing.
    getrandom_requests = 0;
    VectorShareWriter out;
    EXPECT_FALSE(safe_split(Scheme::shamir, counting_secret(), 1, 5, source, out).ok());
    EXPECT_EQ(getrandom_requests, 0u);
}

TEST(BatchedRandomness, OneRequestOfTheDocumentedLengthAndOverflowGoesToTheSource) {
    // The set id, the key and 6 (k - 1) random parts: nothing more, in one request.
    for (const Scheme scheme : {Scheme::shamir, Scheme::blakley}) {
        for (const std::uint64_t k : {2u, 3u, 17u}) {
            const std::size_t planned = 8 + 16 * (1 + 6 * (k - 1));
            ScriptedSource exact(vector_stream(planned));
            VectorShareWriter out;
            ASSERT_TRUE(safe_split(scheme, counting_secret(), k, k + 2, exact, out).ok());
            EXPECT_EQ(exact.request_lengths, std::vector<std::size_t>{planned}) << k;
        }
    }

    ScriptedSource source({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    BatchedByteSource batch(source, 4, 2);
    std::uint8_t data[6] = {};
    batch.fill(data, 6);
    EXPECT_EQ(batch.prefix_u64(), 0x0201u);
    EXPECT_EQ(std::vector<std::uint8_t>(data, data + 6),
              (std::vector<std::uint8_t>{3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(source.requests, 2u);
}

}  // namespace
}  // namespace varnhold
