// The stop check of long loops: small calls never ask, long ones ask at bounded intervals of
// work and end with whatever the hook throws.

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "blakley/blakley.hpp"
#include "common/stop_check.hpp"
#include "resealed.hpp"
#include "safe/safe_split.hpp"
#include "safe/share_set.hpp"
#include "shamir/shamir.hpp"

namespace varnhold {
namespace {

struct Stopped {};

// What the installed test hook sees. `stop_at` > 0 makes the hook throw on that ask.
struct HookLog {
    std::uint64_t asks = 0;
    std::uint64_t stop_at = 0;
    // Fills of the counting source at each ask.
    std::vector<std::uint64_t> fills_at_ask;
    const std::uint64_t* fills = nullptr;
};
HookLog hook_log;

void test_hook() {
    ++hook_log.asks;
    if (hook_log.fills != nullptr) hook_log.fills_at_ask.push_back(*hook_log.fills);
    if (hook_log.asks == hook_log.stop_at) throw Stopped{};
}

class HookInstalled : public ::testing::Test {
protected:
    void SetUp() override {
        hook_log = HookLog{};
        set_stop_hook(test_hook);
    }
    void TearDown() override {
        set_stop_hook(nullptr);
        hook_log = HookLog{};
    }
};

class CountingSource final : public ByteSource {
public:
    void fill(std::uint8_t* data, std::size_t length) override {
        ++fills;
        for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(engine());
    }
    std::uint64_t fills = 0;
    std::mt19937_64 engine{7};
};

const std::string secret(32, 's');

std::vector<std::string> split(Scheme scheme, std::uint64_t k, std::uint64_t n, bool envelopes) {
    CountingSource random;
    VectorShareWriter out;
    Result<void> done = envelopes                  ? safe_split(scheme, secret, k, n, random, out)
                        : scheme == Scheme::shamir ? shamir_split(secret, k, n, random, out)
                                                   : blakley_split(secret, k, n, random, out);
    EXPECT_TRUE(done.ok());
    return out.texts;
}

std::vector<std::string_view> views(const std::vector<std::string>& texts) {
    return {texts.begin(), texts.end()};
}

// Replaces the first digit of the second value of share i, so that the share reads but disagrees.
void corrupt(std::vector<std::string>& shares, std::size_t i, bool envelope) {
    std::string& text = shares[i];
    const std::size_t at = text.find(':') + 1;
    text[at] = text[at] == '1' ? '2' : '1';
    if (envelope) text = testing::resealed(text);
}

TEST_F(HookInstalled, SmallCallsNeverAsk) {
    for (const Scheme scheme : {Scheme::shamir, Scheme::blakley}) {
        const std::vector<std::string> bare = split(scheme, 3, 5, false);
        const std::vector<std::string_view> three(bare.begin(), bare.begin() + 3);
        const Result<SecretBytes> rebuilt =
            scheme == Scheme::shamir ? shamir_combine(three, 3) : blakley_combine(three, 3);
        ASSERT_TRUE(rebuilt.ok());
        std::vector<std::string> wrapped = split(scheme, 3, 5, true);
        corrupt(wrapped, 4, true);
        const ShareSet set(views(wrapped), 3);
        EXPECT_EQ(set.report().shares[4].state, ShareState::wrong) << set.report().problem;
    }
    EXPECT_EQ(hook_log.asks, 0u);
}

// Each draw is counted as a request to the kernel, so between two asks there are at most
// interval / draw_work of them, whatever else the loop does.
TEST_F(HookInstalled, DrawsBetweenAsksAreBounded) {
    struct Case {
        const char* name;
        Scheme scheme;
        std::uint64_t k, n;
    };
    const Case cases[] = {
        {"shamir", Scheme::shamir, 2048, 2048},
        {"blakley", Scheme::blakley, 512, 512},
    };
    const std::uint64_t bound = stop_check_interval / draw_work;
    for (const Case& c : cases) {
        hook_log = HookLog{};
        CountingSource random;
        hook_log.fills = &random.fills;
        VectorShareWriter out;
        const Result<void> done = c.scheme == Scheme::shamir
                                      ? shamir_split(secret, c.k, c.n, random, out)
                                      : blakley_split(secret, c.k, c.n, random, out);
        ASSERT_TRUE(done.ok()) << c.name;
        ASSERT_GE(hook_log.fills_at_ask.size(), random.fills / bound) << c.name;
        std::uint64_t previous = 0;
        for (const std::uint64_t at : hook_log.fills_at_ask) {
            EXPECT_LE(at - previous, bound) << c.name;
            previous = at;
        }
        EXPECT_LE(random.fills - previous, bound) << c.name;
    }
}

TEST_F(HookInstalled, LongCallsEndWithTheHooksException) {
    // Every other share of a set: indices that far apart take the k^2 products.
    const std::vector<std::string> shamir_split_shares = split(Scheme::shamir, 1500, 3000, false);
    std::vector<std::string> shamir_shares;
    for (std::size_t i = 0; i < shamir_split_shares.size(); i += 2)
        shamir_shares.push_back(shamir_split_shares[i]);
    const std::vector<std::string> blakley_shares = split(Scheme::blakley, 200, 200, false);
    std::vector<std::string> shamir_wrong = split(Scheme::shamir, 60, 2000, true);
    for (std::size_t i = 0; i < 5; ++i) corrupt(shamir_wrong, 10 * i + 3, true);
    // Version 1 Blakley sets are solved by elimination, leaving out one share after another.
    std::vector<std::string> blakley_wrong = split(Scheme::blakley, 60, 64, false);
    for (std::size_t i = 0; i < blakley_wrong.size(); ++i)
        blakley_wrong[i] =
            wrap_share(EnvelopeHeader{Scheme::blakley, 60, 7, i + 1}, blakley_wrong[i]);
    corrupt(blakley_wrong, 5, true);

    struct Case {
        const char* name;
        std::function<void()> run;
    };
    const Case cases[] = {
        {"shamir_split",
         [] {
             CountingSource random;
             VectorShareWriter out;
             (void)shamir_split(secret, 1024, 1024, random, out);
         }},
        {"shamir_combine", [&] { (void)shamir_combine(views(shamir_shares), 1500); }},
        {"blakley_split",
         [] {
             CountingSource random;
             VectorShareWriter out;
             (void)blakley_split(secret, 512, 600, random, out);
         }},
        {"blakley_combine", [&] { (void)blakley_combine(views(blakley_shares), 200); }},
        {"shamir decoder", [&] { ShareSet set(views(shamir_wrong), 60); }},
        {"blakley decoder", [&] { ShareSet set(views(blakley_wrong), 60); }},
    };
    for (const Case& c : cases) {
        // A full run counts the asks; stopping at the last one, which comes from the call's
        // final stretch of work, must end the call with the hook's exception.
        hook_log = HookLog{};
        c.run();
        const std::uint64_t asks = hook_log.asks;
        EXPECT_GE(asks, 2u) << c.name;
        hook_log = HookLog{};
        hook_log.stop_at = asks;
        EXPECT_THROW(c.run(), Stopped) << c.name;
        EXPECT_EQ(hook_log.asks, asks) << c.name;
    }
    // Without a hook the same sets are read to the end and the wrong shares found.
    set_stop_hook(nullptr);
    const ShareSet shamir_set(views(shamir_wrong), 60);
    EXPECT_EQ(shamir_set.report().problem, "");
    EXPECT_EQ(shamir_set.report().shares[43].state, ShareState::wrong);
    const ShareSet blakley_set(views(blakley_wrong), 60);
    EXPECT_EQ(blakley_set.report().problem, "");
    EXPECT_EQ(blakley_set.report().shares[5].state, ShareState::wrong);
}

}  // namespace
}  // namespace varnhold
