// Envelope version 2: the reading order and its messages, the tag against altered values, and the
// set operations that write version 2 (new shares, refresh, reshare).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "field/field_hex.hpp"
#include "resealed.hpp"
#include "safe/envelope.hpp"
#include "safe/quick_combine.hpp"
#include "safe/safe_split.hpp"
#include "safe/share_set.hpp"
#include "test_support.hpp"

namespace varnhold {
namespace {

using testing::counting_secret;
using testing::GeneratorSource;
using testing::resealed;

std::vector<std::string> split(Scheme scheme, std::uint64_t k, std::uint64_t n,
                               std::uint64_t seed = 1) {
    GeneratorSource random(seed);
    VectorShareWriter out;
    EXPECT_TRUE(safe_split(scheme, counting_secret(), k, n, random, out).ok());
    return out.texts;
}

std::vector<std::string_view> views(const std::vector<std::string>& texts) {
    return {texts.begin(), texts.end()};
}

std::string body_of(const std::string& text) { return text.substr(0, text.rfind('-')); }

// Field f (0-based, split at '-') of the body replaced.
std::string with_field(const std::string& text, std::size_t f, const std::string& value) {
    std::string body = body_of(text);
    std::size_t start = 0;
    for (std::size_t i = 0; i < f; ++i) start = body.find('-', start) + 1;
    const std::size_t end = body.find('-', start);
    return body.replace(start, end == std::string::npos ? end : end - start, value);
}

TEST(EnvelopeVersion2, ReadingOrderAndMessages) {
    const std::string text = split(Scheme::shamir, 2, 3)[0];
    const std::string body = body_of(text);
    const std::string values = body.substr(body.rfind('-') + 1);
    const std::string p_hex = format_field_hex(FieldElement{field_modulus - 1}).replace(31, 1, "f");
    std::string upper = values;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const struct {
        std::string text;
        std::string message;
    } rows[] = {
        {text.substr(0, text.size() - 1) + (text.back() == '0' ? "1" : "0"),
         "checksum does not match"},
        {"vh3" + text.substr(3), "checksum does not match"},  // a typo in the version
        {text.substr(0, text.size() - 1) + "g", "envelope has no valid checksum field"},
        {text.substr(0, text.size() - 1), "envelope has no valid checksum field"},
        {resealed("vh1" + body.substr(3) + "-" + std::string(18, '0')),
         "envelope has no valid checksum field"},
        {resealed("vh3" + body.substr(3) + "-" + std::string(18, '0')),
         "names envelope version 3, which this version cannot read, or is mistyped"},
        {resealed("vhv" + body.substr(3) + "-" + std::string(18, '0')),
         "envelope has no valid version"},
        {resealed(body + "-" + std::string(10, '0')), "envelope has no valid checksum field"},
        {resealed(with_field(text, 1, "x") + "-" + std::string(18, '0')),
         "envelope has an unknown scheme"},
        {resealed(with_field(text, 4, "01") + "-" + std::string(18, '0')),
         "envelope has an invalid share number"},
        {resealed(with_field(text, 4, "0") + "-" + std::string(18, '0')),
         "envelope has an invalid share number"},
        {resealed(body + "-x-" + std::string(18, '0')), "envelope has too many fields"},
        {resealed(with_field(text, 5, upper) + "-" + std::string(18, '0')),
         "has upper-case hexadecimal digits, which no envelope is written with"},
        {resealed(with_field(text, 5, values.substr(33)) + "-" + std::string(18, '0')),
         "envelope has 5 values, not 6"},
        {resealed(with_field(text, 5, values + ":" + values.substr(0, 32)) + "-" +
                  std::string(18, '0')),
         "envelope has 7 values, not 6"},
        {resealed(with_field(text, 5, values.substr(1) + "0") + "-" + std::string(18, '0')),
         "envelope has an invalid share value"},
        {resealed(with_field(text, 5, "g" + values.substr(1)) + "-" + std::string(18, '0')),
         "envelope has an invalid share value"},
        {resealed(with_field(text, 5, p_hex + values.substr(32)) + "-" + std::string(18, '0')),
         "envelope has a share value of 2^127-1 or more"},
    };
    for (const auto& row : rows) {
        const Result<OpenedEnvelope> opened = open_envelope(row.text);
        ASSERT_FALSE(opened.ok()) << row.text;
        EXPECT_EQ(opened.error().message, row.message) << row.text;
    }
    // What opens is what was written: the header and the six values.
    std::array<FieldElement, envelope_value_count> read{};
    const Result<OpenedEnvelope> opened = open_envelope(text, read);
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(opened->header.version, 2);
    EXPECT_EQ(wrap_values(opened->header, read), text);
}

// The sixteen-byte passes see every offset: a byte outside the printable range anywhere in the
// text, a seventh field begun anywhere in the values, and an upper-case digit anywhere in them.
TEST(EnvelopeVersion2, EveryOffsetIsScanned) {
    const std::string text = split(Scheme::shamir, 2, 3)[0];
    const std::string body = body_of(text);
    const std::size_t values_start = body.rfind('-') + 1;
    const struct {
        std::size_t from, to;  // the positions altered
        char byte;
        bool reseal;
        std::string message;
    } rows[] = {
        {envelope_tag.size(), text.size(), '\x7f', false, "contains a character that no share has"},
        {envelope_tag.size(), text.size(), ' ', false, "contains a character that no share has"},
        {values_start, body.size(), '-', true, "envelope has too many fields"},
        {values_start, body.size(), 'A', true,
         "has upper-case hexadecimal digits, which no envelope is written with"},
    };
    for (const auto& row : rows) {
        for (std::size_t at = row.from; at < row.to; ++at) {
            // A ':' stays: an upper-case digit there would read as a missing separator.
            if (row.byte == 'A' && text[at] == ':') continue;
            std::string altered = text;
            altered[at] = row.byte;
            const Result<OpenedEnvelope> opened =
                open_envelope(row.reseal ? resealed(altered) : altered);
            ASSERT_FALSE(opened.ok()) << at;
            EXPECT_EQ(opened.error().message, row.message) << row.byte << " at " << at;
        }
    }
}

// One value of one share shifted, its check written again: what a custodian can do alone.
// Indices 1..3 have the Lagrange weights 3, -3 and 1 at 0, so a shift of share 3's last chunk by
// 1 moves the secret's last byte by 1 and stays in range: only the tag can tell.
TEST(EnvelopeVersion2, TheTagCatchesAlteredValues) {
    const struct {
        Scheme scheme;
        std::size_t value;  // 3: the last chunk, 4: R, 5: T
        const char* problem;
    } rows[] = {
        {Scheme::shamir, 3, "the secret's tag does not match"},
        {Scheme::shamir, 4, "the secret's tag does not match"},
        {Scheme::shamir, 5, "the secret's tag does not match"},
        {Scheme::blakley, 4, "the secret's tag does not match"},
        {Scheme::blakley, 5, "the secret's tag does not match"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> shares = split(row.scheme, 3, 3);
        std::string body = body_of(shares[2]);
        const std::size_t at = body.rfind('-') + 1 + 33 * row.value;
        const Result<FieldElement> old = parse_field_hex(body.substr(at, 32), "value");
        ASSERT_TRUE(old.ok());
        body.replace(at, 32, format_field_hex(field_add(*old, FieldElement{1})));
        shares[2] = resealed(body + "-" + std::string(18, '0'));
        const ShareSet set(views(shares), 0);
        EXPECT_FALSE(set.report().usable());
        EXPECT_TRUE(set.report().problem.starts_with(row.problem)) << set.report().problem;
        SecretBytes out;
        EXPECT_FALSE(quick_combine(views(shares), 0, out)) << row.value;
    }
}

// Forged shares that agree with each other outnumber an honest one: the decoder would call the
// honest share wrong, but its tag is not theirs, and the set is refused. A custodian who alters
// only their own share keeps the set's tag and is located as before.
TEST(EnvelopeVersion2, ForgedSharesNeverOutvoteAnHonestOne) {
    const std::vector<std::string> honest = split(Scheme::shamir, 2, 4, 1);
    const std::string set_id = body_of(honest[0]).substr(8, 16);
    std::vector<std::string> given = {honest[0]};
    for (const std::string& forged : split(Scheme::shamir, 2, 4, 2)) {
        if (forged.find("-1-") != std::string::npos) continue;  // the forgers' share 1 is not given
        given.push_back(resealed(with_field(forged, 3, set_id) + "-" + std::string(18, '0')));
    }
    const ShareSet outvoted(views(given), 0);
    EXPECT_FALSE(outvoted.report().usable());
    EXPECT_EQ(outvoted.report().problem,
              "the shares are inconsistent and which of them are wrong cannot be told");

    std::vector<std::string> altered = split(Scheme::shamir, 3, 6, 3);
    std::string body = body_of(altered[3]);
    body[body.rfind('-') + 5] = body[body.rfind('-') + 5] == '0' ? '1' : '0';
    altered[3] = resealed(body + "-" + std::string(18, '0'));
    const ShareSet located(views(altered), 0);
    EXPECT_TRUE(located.report().usable() || located.report().problem.empty());
    EXPECT_EQ(located.report().shares[3].state, ShareState::wrong);
}

// New shares, refresh and reshare of version 2 sets, each read back.
TEST(EnvelopeVersion2, SetOperationsWriteVersion2) {
    GeneratorSource random(5);
    for (const Scheme scheme : {Scheme::shamir, Scheme::blakley}) {
        const std::vector<std::string> shares = split(scheme, 3, 6);
        const std::vector<std::string_view> first = views(shares);
        const ShareSet set(std::span<const std::string_view>(first).first(3), 0);
        ASSERT_TRUE(set.report().usable());
        // A share's number decides its values: remade from three others it is the split's own.
        EXPECT_EQ(*set.new_share(uint128{5}, random), shares[4]);
        EXPECT_EQ(*set.new_share(std::nullopt, random), shares[3]);

        const std::vector<std::string> refreshed = *set.refresh(random);
        ASSERT_EQ(refreshed.size(), 3u);
        EXPECT_NE(refreshed[0].substr(0, 25), shares[0].substr(0, 25));  // a new set id
        EXPECT_TRUE(ShareSet(views(refreshed), 0).report().usable());

        const Scheme other = scheme == Scheme::shamir ? Scheme::blakley : Scheme::shamir;
        const std::vector<std::string> reshared = *set.reshare(other, 4, 7, random);
        ASSERT_EQ(reshared.size(), 7u);
        const std::vector<std::string_view> last = views(reshared);
        const ShareSet again(std::span<const std::string_view>(last).last(4), 0);
        ASSERT_TRUE(again.report().usable()) << again.report().problem;
        SecretBytes secret;
        again.secret(secret);
        EXPECT_EQ(std::string(secret.bytes.begin(), secret.bytes.end()), counting_secret());
        EXPECT_EQ(set.reshare(other, 5, 4, random).error().message,
                  other == Scheme::shamir ? "Invalid k/n parameters" : "Invalid k/n");
    }
}

// A split's Shamir shares are stepped to, each from the one before: every share must be the one
// that k others give at its number (the first k for the later shares, the last k for the earlier).
TEST(EnvelopeVersion2, EverySplitShareIsTheOneOtherSharesGive) {
    GeneratorSource random(9);
    const std::pair<std::uint64_t, std::uint64_t> rows[] = {{2, 4},  {2, 70},  {3, 6},
                                                            {5, 12}, {17, 40}, {64, 128}};
    for (const auto& [k, n] : rows) {
        const std::vector<std::string> shares = split(Scheme::shamir, k, n);
        const std::vector<std::string_view> texts = views(shares);
        const ShareSet first(std::span<const std::string_view>(texts).first(k), 0);
        const ShareSet last(std::span<const std::string_view>(texts).last(k), 0);
        ASSERT_TRUE(first.report().usable() && last.report().usable());
        for (std::uint64_t x = 1; x <= n; ++x) {
            const ShareSet& others = x > k ? first : last;
            EXPECT_EQ(*others.new_share(uint128{x}, random), shares[x - 1]) << k << "-of-" << n;
        }
    }
}

// A repeated share is found wherever it stands: right after the first copy, later, or in a list
// whose indices fall; a share with another's number and other values is held back and found wrong.
TEST(EnvelopeVersion2, RepeatsAreFoundInAnyOrder) {
    const std::vector<std::string> shares = split(Scheme::shamir, 3, 5);
    const std::string impostor =
        resealed(with_field(shares[1], 4, "1") + "-" + std::string(18, '0'));
    const struct {
        std::vector<std::string> texts;
        std::size_t position;
        ShareState state;
    } rows[] = {
        {{shares[0], shares[0], shares[1], shares[2]}, 1, ShareState::duplicate},
        {{shares[0], shares[1], shares[2], shares[2]}, 3, ShareState::duplicate},
        {{shares[2], shares[1], shares[0], shares[0]}, 3, ShareState::duplicate},
        {{shares[0], shares[2], shares[1], shares[2]}, 3, ShareState::duplicate},
        {{shares[0], impostor, shares[1], shares[2], shares[3]}, 1, ShareState::wrong},
    };
    for (const auto& row : rows) {
        const ShareSet set(views(row.texts), 0);
        ASSERT_EQ(set.report().problem, "") << row.position;
        EXPECT_EQ(set.report().shares[row.position].state, row.state) << row.position;
    }
}

// Two Blakley shares with one number and different values: the extra shares decide which is
// wrong, as for two Shamir shares at one index.
TEST(EnvelopeVersion2, BlakleySharesWithOneNumberAreJudged) {
    std::vector<std::string> shares = split(Scheme::blakley, 2, 4);
    const std::string impostor =
        resealed(with_field(shares[3], 4, "1") + "-" + std::string(18, '0'));
    shares.push_back(impostor);
    shares.push_back(shares[1]);  // an exact copy: judged before the values are divided
    const ShareSet set(views(shares), 0);
    EXPECT_TRUE(set.report().problem.empty()) << set.report().problem;
    EXPECT_EQ(set.report().shares[4].state, ShareState::wrong);
    EXPECT_EQ(set.report().shares[5].state, ShareState::duplicate);
    EXPECT_EQ(set.report().shares[1].state, ShareState::good);
}

}  // namespace
}  // namespace varnhold
