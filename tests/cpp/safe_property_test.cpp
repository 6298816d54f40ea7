// Random trials of the safe layer's set reading: located wrong shares, sets that must never give
// a secret, new and refreshed shares. A fast deterministic generator feeds the splits.

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "blakley/blakley.hpp"
#include "common/decimal.hpp"
#include "field/field_hex.hpp"
#include "safe/envelope.hpp"
#include "safe/safe_split.hpp"
#include "safe/share_set.hpp"
#include "shamir/shamir.hpp"
#include "test_support.hpp"

namespace varnhold {
namespace {

using testing::GeneratorSource;

std::vector<std::string> bare_split(Scheme scheme, const std::string& secret, std::uint64_t k,
                                    std::uint64_t n, ByteSource& random) {
    VectorShareWriter out;
    const Result<void> done = scheme == Scheme::shamir ? shamir_split(secret, k, n, random, out)
                                                       : blakley_split(secret, k, n, random, out);
    EXPECT_TRUE(done.ok());
    return out.texts;
}

std::string random_secret(std::mt19937_64& engine) {
    std::string secret(32, '\0');
    for (char& c : secret) c = static_cast<char>(engine());
    return secret;
}

// A share of the right shape with random values: for Shamir the same index, for Blakley random
// coefficients (the hyperplane of a different split).
std::string random_share_like(Scheme scheme, const std::string& share, std::uint64_t k,
                              std::mt19937_64& engine) {
    auto element = [&engine] {
        return format_field_hex(field_reduce((static_cast<uint128>(engine()) << 64) | engine()));
    };
    std::string text;
    if (scheme == Scheme::shamir) {
        text = share.substr(0, share.find(':'));
    } else {
        for (std::uint64_t t = 0; t < k; ++t) text += (t == 0 ? "" : ",") + element();
    }
    for (int c = 0; c < 4; ++c) text += ":" + element();
    return text;
}

std::vector<std::string_view> views(const std::vector<std::string>& texts) {
    return {texts.begin(), texts.end()};
}

// A split with k from 2 to 16 and n from k to 40 of a random secret, its shares shuffled.
struct ShuffledSplit {
    std::uint64_t k;
    std::uint64_t n;
    std::string secret;
    std::vector<std::string> shares;
};

ShuffledSplit shuffled_split(Scheme scheme, std::mt19937_64& engine, ByteSource& random) {
    ShuffledSplit split;
    split.k = 2 + engine() % 15;
    split.n = split.k + engine() % (41 - split.k);
    split.secret = random_secret(engine);
    split.shares = bare_split(scheme, split.secret, split.k, split.n, random);
    std::shuffle(split.shares.begin(), split.shares.end(), engine);
    return split;
}

struct Trials {
    std::size_t located = 0;
    std::size_t sets_with_wrong = 0;
};

// m shares of one split of which e are replaced; every replaced share, and only those, must be
// reported wrong, and the secret rebuilt must be the one split.
Trials run_location_trials(Scheme scheme, std::size_t count, std::uint64_t seed) {
    std::mt19937_64 engine(seed);
    GeneratorSource random(seed ^ 0x5eed);
    Trials trials;
    for (std::size_t trial = 0; trial < count; ++trial) {
        ShuffledSplit split = shuffled_split(scheme, engine, random);
        const std::uint64_t k = split.k;
        const std::string& secret = split.secret;
        std::vector<std::string>& shares = split.shares;
        const std::size_t m = static_cast<std::size_t>(k + engine() % (split.n - k + 1));
        shares.resize(m);
        std::size_t max_wrong = (m - static_cast<std::size_t>(k)) / 2;
        if (scheme == Scheme::blakley) max_wrong = m >= k + 2 ? 1 : 0;
        const std::size_t e = max_wrong == 0 ? 0 : engine() % (max_wrong + 1);
        std::vector<std::size_t> order(m);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), engine);
        std::vector<bool> replaced(m, false);
        const std::vector<std::string> other =
            bare_split(scheme, random_secret(engine), k, split.n, random);
        for (std::size_t i = 0; i < e; ++i) {
            const std::size_t at = order[i];
            replaced[at] = true;
            // Half the time random values, half the time a share of another split.
            if (engine() % 2 == 0) {
                shares[at] = random_share_like(scheme, shares[at], k, engine);
            } else if (scheme == Scheme::shamir) {
                const std::string index = shares[at].substr(0, shares[at].find(':'));
                shares[at] = other[std::stoul(index) - 1];
            } else {
                shares[at] = other[engine() % other.size()];
            }
        }
        const ShareSet set(views(shares), k, BareCheck::waived);
        const SetReport& report = set.report();
        EXPECT_EQ(report.problem, "")
            << "trial " << trial << " k=" << k << " m=" << m << " e=" << e;
        for (std::size_t i = 0; i < m; ++i) {
            const ShareState expected = replaced[i] ? ShareState::wrong : ShareState::good;
            EXPECT_EQ(report.shares[i].state, expected) << "trial " << trial << " share " << i;
        }
        if (report.problem.empty()) {
            SecretBytes rebuilt;
            set.secret(rebuilt);
            EXPECT_EQ(std::string(rebuilt.bytes.begin(), rebuilt.bytes.end()), secret);
        }
        trials.sets_with_wrong += e > 0 ? 1 : 0;
        trials.located += e;
        if (::testing::Test::HasFailure()) break;
    }
    return trials;
}

TEST(SafeProperties, ShamirWrongSharesAreLocatedExactly) {
    const Trials trials = run_location_trials(Scheme::shamir, 10000, 1);
    std::printf("shamir: %zu trials, %zu sets with wrong shares, %zu wrong shares located\n",
                std::size_t{10000}, trials.sets_with_wrong, trials.located);
    EXPECT_GT(trials.sets_with_wrong, 5000u);
}

TEST(SafeProperties, BlakleyOneWrongShareIsLocated) {
    const Trials trials = run_location_trials(Scheme::blakley, 10000, 2);
    std::printf("blakley: %zu trials, %zu sets with a wrong share located\n", std::size_t{10000},
                trials.located);
    EXPECT_GT(trials.located, 3000u);
}

// Mixed sets, a too small k and altered envelopes: none may yield a secret.
void run_rejection_trials(Scheme scheme, std::size_t count, std::uint64_t seed) {
    std::mt19937_64 engine(seed);
    GeneratorSource random(seed ^ 0xbad);
    std::size_t kinds[3] = {0, 0, 0};
    for (std::size_t trial = 0; trial < count; ++trial) {
        const std::uint64_t k = 2 + engine() % 15;
        const std::uint64_t n = k + 1 + engine() % (40 - k);
        const std::string secret = random_secret(engine);
        std::vector<std::string> shares;
        std::uint64_t k_read = k;
        const int kind = static_cast<int>(trial % 3);
        ++kinds[kind];
        if (kind == 0) {
            // k shares from two splits of the same secret, one from the second at least.
            shares = bare_split(scheme, secret, k, n, random);
            const std::vector<std::string> other = bare_split(scheme, secret, k, n, random);
            shares.resize(k);
            const std::size_t mixed = 1 + engine() % (k - 1);
            for (std::size_t i = 0; i < mixed; ++i) shares[i] = other[n - 1 - i];
        } else if (kind == 1) {
            // Any number of shares read with a k below the split's.
            if (k == 2) continue;
            shares = bare_split(scheme, secret, k, n, random);
            k_read = 2 + engine() % (k - 2);
            shares.resize(k_read + engine() % (n - k_read + 1));
        } else {
            // Envelopes with one character altered somewhere.
            VectorShareWriter out;
            EXPECT_TRUE(safe_split(scheme, secret, k, n, random, out).ok());
            shares = out.texts;
            shares.resize(k);
            std::string& victim = shares[engine() % k];
            const std::size_t at = engine() % victim.size();
            const char replacement = static_cast<char>('!' + engine() % 94);
            victim[at] = replacement == victim[at] ? (replacement == '0' ? '1' : '0') : replacement;
            k_read = 0;
        }
        const ShareSet set(views(shares), k_read, BareCheck::waived);
        EXPECT_FALSE(set.report().usable()) << "kind " << kind << " trial " << trial << " k=" << k;
        if (::testing::Test::HasFailure()) break;
    }
    std::printf("%s: %zu mixed, %zu wrong-k, %zu altered sets rejected\n", scheme_name(scheme),
                kinds[0], kinds[1], kinds[2]);
}

TEST(SafeProperties, ShamirBadSetsNeverGiveASecret) {
    run_rejection_trials(Scheme::shamir, 10000, 3);
}

TEST(SafeProperties, BlakleyBadSetsNeverGiveASecret) {
    run_rejection_trials(Scheme::blakley, 10000, 4);
}

void run_new_and_refresh_trials(Scheme scheme, std::size_t count, std::uint64_t seed) {
    std::mt19937_64 engine(seed);
    GeneratorSource random(seed ^ 0x11);
    for (std::size_t trial = 0; trial < count; ++trial) {
        ShuffledSplit split = shuffled_split(scheme, engine, random);
        const std::uint64_t k = split.k;
        const std::uint64_t n = split.n;
        const std::string& secret = split.secret;
        std::vector<std::string>& shares = split.shares;
        auto rebuilds = [&](const std::vector<std::string>& texts) {
            const ShareSet set(views(texts), k, BareCheck::waived);
            if (!set.report().usable()) return false;
            SecretBytes out;
            set.secret(out);
            return std::string(out.bytes.begin(), out.bytes.end()) == secret;
        };
        const ShareSet first_k(views({shares.begin(), shares.begin() + static_cast<long>(k)}), k,
                               BareCheck::waived);
        ASSERT_TRUE(first_k.report().usable());
        // Shamir: an index no old share has (the default, one above the k used, may be taken).
        const std::optional<uint128> index = scheme == Scheme::shamir
                                                 ? std::optional<uint128>(n + 1 + engine() % 100)
                                                 : std::nullopt;
        Result<std::string> fresh = first_k.new_share(index, random);
        ASSERT_TRUE(fresh.ok());
        // The new share with the k - 1 others that were not used to make it, where there are.
        std::vector<std::string> with_new(shares.end() - static_cast<long>(std::min(k - 1, n - k)),
                                          shares.end());
        for (std::size_t i = 0; with_new.size() < k - 1; ++i) with_new.push_back(shares[i]);
        with_new.push_back(*fresh);
        EXPECT_TRUE(rebuilds(with_new)) << "new share, trial " << trial;

        if (scheme == Scheme::shamir) {
            Result<std::vector<std::string>> refreshed = first_k.refresh(random);
            ASSERT_TRUE(refreshed.ok());
            EXPECT_TRUE(rebuilds(*refreshed)) << "refresh, trial " << trial;
            // One old share among k - 1 refreshed ones: the range check turns it down.
            std::vector<std::string> mixed(refreshed->begin() + 1, refreshed->end());
            mixed.push_back(shares[0]);
            EXPECT_FALSE(ShareSet(views(mixed), k).report().usable()) << "mix, trial " << trial;
        }
        if (::testing::Test::HasFailure()) break;
    }
}

TEST(SafeProperties, ShamirNewAndRefreshedShares) {
    run_new_and_refresh_trials(Scheme::shamir, 2000, 5);
}

TEST(SafeProperties, BlakleyNewShares) { run_new_and_refresh_trials(Scheme::blakley, 2000, 6); }

// A new share takes the number after the highest one given; at the top of the range the envelope
// reader accepts, there is none left, and no share that could never be read back is written.
// Each row: the scheme, the highest number in the set, and the refusal (empty: the new share is
// numbered one above and reads back as part of the set).
TEST(SafeSetOperations, NewShareNumbersStopAtWhatCanBeRead) {
    const uint128 blakley_top = (uint128{1} << 64) - 1;
    const uint128 shamir_top = field_modulus - 1;
    const struct {
        Scheme scheme;
        uint128 highest;
        std::string refusal;
    } rows[] = {
        {Scheme::blakley, blakley_top - 1, ""},
        {Scheme::blakley, blakley_top, "no share number is left above the highest given"},
        {Scheme::shamir, shamir_top - 1, ""},
        {Scheme::shamir, shamir_top, "no index is left above the highest given"},
    };
    GeneratorSource random(77);
    for (const auto& row : rows) {
        const std::string where = to_decimal(row.highest);
        std::vector<std::string> set;
        if (row.scheme == Scheme::blakley) {
            // Blakley numbers are labels: the shares of a bare split wrapped under chosen ones.
            const std::vector<std::string> bare =
                bare_split(Scheme::blakley, std::string(32, 'x'), 2, 2, random);
            set = {wrap_share(EnvelopeHeader{Scheme::blakley, 2, 9, 1}, bare[0]),
                   wrap_share(EnvelopeHeader{Scheme::blakley, 2, 9, row.highest}, bare[1])};
        } else {
            // A Shamir number is the share's index: the set's own share made at that index.
            VectorShareWriter out;
            ASSERT_TRUE(safe_split(Scheme::shamir, std::string(32, 'x'), 2, 2, random, out).ok());
            const Result<std::string> top =
                ShareSet(views(out.texts), 2).new_share(row.highest, random);
            ASSERT_TRUE(top.ok()) << where;
            set = {out.texts[0], *top};
        }
        const ShareSet given(views(set), 2);
        ASSERT_TRUE(given.report().usable()) << where << ": " << given.report().problem;
        const Result<std::string> fresh = given.new_share(std::nullopt, random);
        if (!row.refusal.empty()) {
            ASSERT_FALSE(fresh.ok()) << where;
            EXPECT_EQ(fresh.error().message, row.refusal);
            continue;
        }
        ASSERT_TRUE(fresh.ok()) << where << ": " << fresh.error().message;
        const std::vector<std::string> with_new = {set[0], *fresh};
        const ShareSet read_back(views(with_new), 2);
        EXPECT_TRUE(read_back.report().usable()) << where << ": " << read_back.report().problem;
        ASSERT_EQ(read_back.report().shares.size(), 2u);
        EXPECT_EQ(read_back.report().shares[1].number, row.highest + 1) << where;
    }
}

}  // namespace
}  // namespace varnhold
