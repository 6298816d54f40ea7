// Runs the field operations, both splits and both combines, the safe layer's split, verifying
// combine, new share and refresh, and the keyed hash and text check of envelope version 2, with
// every secret input marked as undefined for memcheck: the secret, the random bytes that become
// polynomial coefficients or secret points, and the value digits of share texts. Under memcheck,
// any branch or address computed from them is reported. Public data (k, n, indices, Blakley
// hyperplane coefficients, separators, lengths) stays defined. Results are declassified only where
// this harness checks them.
//
// Usage: valgrind --error-exitcode=1 --suppressions=... varnhold_constant_flow [--self-test]
// --self-test makes one branch on a marked byte on purpose, to show that the check can fail.

#include <valgrind/memcheck.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "blakley/blakley.hpp"
#include "field/chunks.hpp"
#include "field/field.hpp"
#include "field/field_hex.hpp"
#include "hash/blake2s.hpp"
#include "hash/crc64.hpp"
#include "hash/text_check.hpp"
#include "safe/checksum.hpp"
#include "safe/envelope.hpp"
#include "safe/quick_combine.hpp"
#include "safe/safe_split.hpp"
#include "safe/share_set.hpp"
#include "shamir/shamir.hpp"

using namespace varnhold;

namespace {

int failures = 0;

void expect(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "constant-flow harness: %s\n", what);
        ++failures;
    }
}

template <class T>
void mark_secret(T* data, std::size_t count) {
    VALGRIND_MAKE_MEM_UNDEFINED(data, count * sizeof(T));
}

template <class T>
void declassify(T* data, std::size_t count) {
    VALGRIND_MAKE_MEM_DEFINED(data, count * sizeof(T));
}

// A byte stream whose bytes `public_prefix` .. `public_prefix + secret_bytes - 1` come out
// marked; the prefix (a set id) and later bytes are public. Every 16-byte element after the
// prefix is nonzero and below p, so no draw is ever rejected and the draws line up with the
// script exactly.
class MarkedSource final : public ByteSource {
public:
    MarkedSource(std::size_t secret_bytes, std::uint64_t seed, std::size_t public_prefix = 0)
        : secret_bytes_(secret_bytes), prefix_(public_prefix), state_(seed) {}

    void fill(std::uint8_t* data, std::size_t length) override {
        for (std::size_t i = 0; i < length; ++i, ++position_) {
            state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
            auto byte = static_cast<std::uint8_t>(state_ >> 56);
            data[i] = byte;
            if (position_ < prefix_) continue;
            const std::size_t at = position_ - prefix_;
            // Byte 15 of an element is the top of the high word: at most 0x3f, and byte 0 of
            // the low word is odd, so the element is neither 0 nor p.
            if (at % 16 == 15) data[i] &= 0x3f;
            if (at % 16 == 0) data[i] |= 1;
            if (at < secret_bytes_) mark_secret(data + i, 1);
        }
    }

private:
    std::size_t secret_bytes_;
    std::size_t prefix_;
    std::size_t position_ = 0;
    std::uint64_t state_;
};

std::string make_secret(std::uint8_t first) {
    std::string secret(secret_length, '\0');
    for (std::size_t i = 0; i < secret_length; ++i) {
        secret[i] = static_cast<char>(first + 37 * i);
    }
    return secret;
}

// Marks the 32 digits after each of the last four colons: the four values of a Shamir share, or
// the four constants of a Blakley share. The index and the Blakley coefficients stay public.
void mark_value_digits(std::string& text) {
    std::size_t end = text.size();
    for (std::size_t c = 0; c < chunk_count; ++c) {
        const std::size_t colon = text.rfind(':', end - 1);
        mark_secret(text.data() + colon + 1, field_hex_length);
        end = colon;
    }
}

bool same_secret(const std::string& secret, SecretBytes rebuilt) {
    declassify(rebuilt.bytes.data(), rebuilt.bytes.size());
    return std::memcmp(secret.data(), rebuilt.bytes.data(), secret_length) == 0;
}

// Each field operation, and the text codec, on marked operands.
void exercise_field_ops() {
    std::array<FieldElement, 3> x = {FieldElement{(uint128{0x1234} << 100) | 0xdeadbeefULL},
                                     FieldElement{field_modulus - 1}, FieldElement{5}};
    mark_secret(x.data(), x.size());
    std::array<FieldElement, 9> out = {
        field_add(x[0], x[1]),           field_sub(x[0], x[1]), field_mul(x[0], x[1]),
        field_mul_add(x[0], x[1], x[2]), field_square(x[0]),    field_reduce(x[0].value * 3),
        field_pow_p_minus_2(x[2].value), field_inv(x[1]),       {},
    };
    const std::string text = format_field_hex(x[0]);
    out[8] = parse_field_hex(text, "share value").value();
    declassify(out.data(), out.size());
    expect(field_mul(out[6], FieldElement{5}) == FieldElement{1}, "5 * 5^(p-2) is not 1");
    expect(out[8] == FieldElement{(uint128{0x1234} << 100) | 0xdeadbeefULL},
           "hex text did not read back");
}

void exercise_shamir(std::uint64_t k, std::uint64_t n) {
    std::string secret = make_secret(static_cast<std::uint8_t>(k));
    const std::string expected = secret;
    mark_secret(secret.data(), secret.size());
    // Every coefficient of every polynomial is secret.
    MarkedSource random(static_cast<std::size_t>(chunk_count * (k - 1) * 16), k);
    VectorShareWriter shares;
    expect(shamir_split(secret, k, n, random, shares).ok(), "Shamir split failed");

    // Shares n, n-1, ...: the combine sees the indices in descending order.
    std::vector<std::string> texts(shares.texts.rbegin(), shares.texts.rbegin() + k);
    std::vector<std::string_view> views;
    for (std::string& text : texts) {
        declassify(text.data(), text.size());
        mark_value_digits(text);
        views.emplace_back(text);
    }
    Result<SecretBytes> rebuilt = shamir_combine(views, k);
    expect(rebuilt.ok() && same_secret(expected, *rebuilt), "Shamir shares did not combine");
}

void exercise_blakley(std::uint64_t k, std::uint64_t n) {
    std::string secret = make_secret(static_cast<std::uint8_t>(100 + k));
    const std::string expected = secret;
    mark_secret(secret.data(), secret.size());
    // The k - 1 random coordinates of each secret point are secret; the hyperplane coefficients
    // drawn after them are written into the shares in the clear.
    MarkedSource random(static_cast<std::size_t>(chunk_count * (k - 1) * 16), 7 * k);
    VectorShareWriter shares;
    expect(blakley_split(secret, k, n, random, shares).ok(), "Blakley split failed");

    std::vector<std::string> texts(shares.texts.begin() + static_cast<std::ptrdiff_t>(n - k),
                                   shares.texts.end());
    std::vector<std::string_view> views;
    for (std::string& text : texts) {
        declassify(text.data(), text.size());
        mark_value_digits(text);
        views.emplace_back(text);
    }
    Result<SecretBytes> rebuilt = blakley_combine(views, k);
    expect(rebuilt.ok() && same_secret(expected, *rebuilt), "Blakley shares did not combine");
}

// Marks what a share text of the safe layer holds of the secret: the four values of the bare share
// and, in an envelope, the check computed over them.
std::vector<std::string> mark_safe_texts(const std::vector<std::string>& shares, bool envelopes) {
    std::vector<std::string> texts(shares);
    for (std::string& text : texts) {
        declassify(text.data(), text.size());
        if (text.starts_with("vh2-")) {
            // The digits of the six values and of the check; the fields before them and the
            // separators are public.
            const std::size_t check = text.rfind('-');
            const std::size_t values = check - envelope_values_length;
            for (std::size_t c = 0; c < envelope_value_count; ++c)
                mark_secret(text.data() + values + 33 * c, field_hex_length);
            mark_secret(text.data() + check + 1, text_check_length);
            continue;
        }
        mark_value_digits(text);
        if (envelopes)
            mark_secret(text.data() + text.size() - envelope_check_length, envelope_check_length);
    }
    return texts;
}

// The random bytes a version 2 split, refresh or reshare marks secret after its set id: the key
// and the random parts of the five shared values.
std::size_t version_2_draws(std::uint64_t k) {
    return static_cast<std::size_t>((1 + envelope_shared_values * (k - 1)) * 16);
}

std::vector<std::string_view> views_of(const std::vector<std::string>& texts) {
    return {texts.begin(), texts.end()};
}

// Reads a genuine set, checks it is usable and rebuilds `expected`.
bool set_rebuilds(const ShareSet& set, const std::string& expected) {
    if (!set.report().usable()) return false;
    SecretBytes rebuilt;
    set.secret(rebuilt);
    return same_secret(expected, rebuilt);
}

// The safe layer on a genuine set: the split into version 2 envelopes, the verifying combine on
// every share (so the shares beyond k are checked against the rebuilt polynomials, and the rebuilt
// chunks go through the range check and the tag), the quick combine of exactly k, a new share, a
// refresh and a reshare into the other scheme.
void exercise_safe(Scheme scheme, std::uint64_t k, std::uint64_t n) {
    const bool shamir = scheme == Scheme::shamir;
    std::string secret = make_secret(static_cast<std::uint8_t>(shamir ? 50 + k : 150 + k));
    const std::string expected = secret;
    mark_secret(secret.data(), secret.size());
    // The set id (8 bytes) is public; then the key and the random parts of the shared values.
    MarkedSource random(version_2_draws(k), 11 * k, 8);
    VectorShareWriter shares;
    expect(safe_split(scheme, secret, k, n, random, shares).ok(), "safe split failed");

    const std::vector<std::string> texts = mark_safe_texts(shares.texts, true);
    const ShareSet set(views_of(texts), 0);
    expect(set_rebuilds(set, expected), "the safe combine did not rebuild the secret");
    if (!set.report().usable()) return;
    if (k <= quick_combine_limit) {
        SecretBytes quick;
        const std::vector<std::string_view> all = views_of(texts);
        expect(quick_combine(std::span<const std::string_view>(all).first(k), 0, quick) &&
                   same_secret(expected, quick),
               "the quick combine did not rebuild the secret");
    }

    // Shamir: the new share's values come from the rebuilt polynomials; Blakley: its public
    // coefficients are drawn, its constants come from the rebuilt points.
    MarkedSource fresh(0, 13 * k);
    Result<std::string> added = set.new_share(std::nullopt, fresh);
    expect(added.ok(), "no new share");
    if (added) {
        std::vector<std::string> grown(texts);
        grown.push_back(mark_safe_texts({*added}, true).front());
        const ShareSet with_new(views_of(grown), 0);
        expect(set_rebuilds(with_new, expected), "the set with a new share lost the secret");
    }
    // The new set id is public, the key and the random parts secret.
    MarkedSource redraw(version_2_draws(k), 17 * k, 8);
    Result<std::vector<std::string>> refreshed = set.refresh(redraw);
    expect(refreshed.ok(), "refresh failed");
    if (refreshed) {
        const std::vector<std::string> marked = mark_safe_texts(*refreshed, true);
        const ShareSet again(views_of(marked), 0);
        expect(set_rebuilds(again, expected), "refreshed shares lost the secret");
    }
    MarkedSource reshare_draws(version_2_draws(k + 1), 19 * k, 8);
    const Scheme other = shamir ? Scheme::blakley : Scheme::shamir;
    Result<std::vector<std::string>> reshared = set.reshare(other, k + 1, n + 1, reshare_draws);
    expect(reshared.ok(), "reshare failed");
    if (reshared) {
        const std::vector<std::string> marked = mark_safe_texts(*reshared, true);
        const ShareSet again(views_of(marked), 0);
        expect(set_rebuilds(again, expected), "reshared shares lost the secret");
    }
}

// A set of version 1 envelopes, which stored shares still are: the bare split wrapped as the
// package once wrote it, read back with its values and check marked.
void exercise_version_1(Scheme scheme, std::uint64_t k, std::uint64_t n) {
    std::string secret = make_secret(static_cast<std::uint8_t>(90 + k));
    const std::string expected = secret;
    mark_secret(secret.data(), secret.size());
    MarkedSource random(static_cast<std::size_t>(chunk_count * (k - 1) * 16), 23 * k);
    VectorShareWriter shares;
    expect((scheme == Scheme::shamir ? shamir_split(secret, k, n, random, shares)
                                     : blakley_split(secret, k, n, random, shares))
               .ok(),
           "bare split failed");
    std::vector<std::string> wrapped;
    for (std::size_t i = 0; i < shares.texts.size(); ++i) {
        declassify(shares.texts[i].data(), shares.texts[i].size());
        wrapped.push_back(wrap_share(EnvelopeHeader{scheme, k, 0x5e7, i + 1}, shares.texts[i]));
    }
    const std::vector<std::string> texts = mark_safe_texts(wrapped, true);
    const ShareSet set(views_of(texts), 0);
    expect(set_rebuilds(set, expected), "a version 1 set did not rebuild the secret");
}

// The primitives of envelope version 2 on marked inputs: BLAKE2s with a secret key over a secret
// message (unkeyed too, and across several blocks), and the text check of a secret share text on
// both CRC paths. Only the lengths stay public.
void exercise_v2_primitives() {
    std::array<std::uint8_t, 32> key{};
    std::array<std::uint8_t, 150> message{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(7 * i + 1);
    for (std::size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<std::uint8_t>(13 * i + 5);
    mark_secret(key.data(), key.size());
    mark_secret(message.data(), message.size());
    std::array<std::uint8_t, 32> keyed{};
    std::array<std::uint8_t, 20> unkeyed{};
    blake2s(keyed, key, std::span(message).first(32));
    blake2s(unkeyed, {}, message);
    declassify(keyed.data(), keyed.size());
    declassify(unkeyed.data(), unkeyed.size());
    expect(keyed != std::array<std::uint8_t, 32>{}, "keyed BLAKE2s gave nothing");

    std::string text = "vh2-s-3-0123456789abcdef-2:";
    while (text.size() < 245) text += "0123456789abcdef"[(text.size() * 7) % 16];
    const std::string clear = text;
    mark_secret(text.data(), text.size());
    char digits[text_check_length];
    bool printable = write_text_check(text, digits);
    declassify(&printable, 1);
    declassify(digits, sizeof digits);
    expect(printable, "a share text was called unprintable");
    std::uint64_t crcs[2] = {crc64_portable(text), crc64_portable(text)};
#if defined(__x86_64__)
    if (crc64_clmul_available()) crcs[1] = crc64_clmul(text);
#endif
    declassify(crcs, 2);
    expect(crcs[0] == crcs[1] && crcs[0] == crc64(clear), "the CRC paths disagree");
}

// The verifying combine locating wrong shares: `wrong` of the n bare shares (the first ones)
// have a value altered, and must be named while the others rebuild the secret; past the bound
// (n - k) / 2 the set is refused. (A set with wrong shares is not usable, so the secret is not
// read here; the C++ tests check the polynomials found.) The decoder's work depends on how many
// shares are wrong, which the report states, and on nothing else about the values.
void exercise_shamir_decoder(std::uint64_t k, std::uint64_t n, std::size_t wrong) {
    std::string secret = make_secret(static_cast<std::uint8_t>(200 + wrong));
    mark_secret(secret.data(), secret.size());
    MarkedSource random(static_cast<std::size_t>(chunk_count * (k - 1) * 16), 19 * k + wrong);
    VectorShareWriter shares;
    expect(shamir_split(secret, k, n, random, shares).ok(), "Shamir split failed");
    std::vector<std::string> texts(shares.texts);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        declassify(texts[i].data(), texts[i].size());
        if (i < wrong) {
            // The last digit of the last value, moved to the next hex digit.
            char& digit = texts[i].back();
            const std::string_view hex = "0123456789abcdef";
            digit = hex[(hex.find(digit) + 1) % 16];
        }
    }
    const std::vector<std::string> marked = mark_safe_texts(texts, false);
    const ShareSet set(views_of(marked), k);
    if (wrong > (n - k) / 2) {
        expect(!set.report().problem.empty(), "a set past the bound was not refused");
        return;
    }
    expect(set.report().problem.empty(), "the wrong shares were not located");
    for (std::size_t i = 0; i < set.report().shares.size(); ++i) {
        const ShareState state = i < wrong ? ShareState::wrong : ShareState::good;
        expect(set.report().shares[i].state == state, "a share was misjudged");
    }
}

// A branch on a marked byte, which memcheck must report.
int branch_on_secret() {
    volatile std::uint8_t byte = 1;
    mark_secret(const_cast<std::uint8_t*>(&byte), 1);
    return byte == 1 ? 1 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (!RUNNING_ON_VALGRIND) {
        std::fprintf(stderr,
                     "run this harness under valgrind's memcheck: outside it, nothing "
                     "is checked\n");
        return 2;
    }
    if (argc > 1 && std::string_view(argv[1]) == "--self-test") {
        std::printf("%d\n", branch_on_secret());
        return 0;
    }
    exercise_field_ops();
    exercise_v2_primitives();
    for (const auto& [k, n] : {std::pair<std::uint64_t, std::uint64_t>{2, 3}, {3, 5}, {5, 8}}) {
        exercise_shamir(k, n);
        exercise_blakley(k, n);
        exercise_safe(Scheme::shamir, k, n);
        exercise_safe(Scheme::blakley, k, n);
        exercise_version_1(Scheme::shamir, k, n);
        exercise_version_1(Scheme::blakley, k, n);
    }
    // A split of several more shares than k continues its polynomials by differences.
    exercise_shamir(3, 12);
    exercise_safe(Scheme::shamir, 2, 11);
    for (const std::size_t wrong : {1, 3, 5}) exercise_shamir_decoder(2, 11, wrong);
    exercise_shamir_decoder(4, 12, 2);
    if (failures == 0) std::printf("constant-flow harness: all operations ran\n");
    return failures == 0 ? 0 : 1;
}
