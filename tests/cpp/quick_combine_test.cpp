#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "random/entropy_source.hpp"
#include "safe/quick_combine.hpp"
#include "safe/safe_split.hpp"
#include "safe/share_set.hpp"

namespace varnhold {
namespace {

std::vector<std::string> split_of(Scheme scheme, std::uint64_t k, std::uint64_t n, char fill) {
    const std::string secret(32, fill);
    VectorShareWriter out;
    EXPECT_TRUE(safe_split(scheme, secret, k, n, process_entropy_source(), out));
    return out.texts;
}

// The quick path either gives the full reading's secret, or declines; it never answers where
// the full reading finds a problem.
TEST(QuickCombine, AgreesWithTheFullReadingOrDeclines) {
    using Edit = std::function<void(std::vector<std::string>&)>;
    const struct {
        const char* name;
        Scheme scheme;
        std::uint64_t k;
        std::uint64_t k_given;
        Edit edit;
        bool quick;
    } rows[] = {
        {"shamir exact", Scheme::shamir, 3, 0, [](auto& s) { s.resize(3); }, true},
        {"blakley exact", Scheme::blakley, 3, 0, [](auto& s) { s.resize(3); }, true},
        {"k given and right", Scheme::shamir, 2, 2, [](auto& s) { s.resize(2); }, true},
        {"surrounding whitespace", Scheme::shamir, 2, 0,
         [](auto& s) {
             s.resize(2);
             s[1] = "\xEF\xBB\xBF " + s[1] + "\r\n";
         },
         true},
        {"k given and wrong", Scheme::shamir, 3, 2, [](auto& s) { s.resize(3); }, false},
        {"more than k", Scheme::shamir, 3, 0, [](auto& s) { s.resize(4); }, false},
        {"fewer than k", Scheme::blakley, 3, 0, [](auto& s) { s.resize(2); }, false},
        {"a repeat", Scheme::shamir, 3, 0,
         [](auto& s) {
             s.resize(3);
             s[2] = s[0];
         },
         false},
        {"blakley repeat", Scheme::blakley, 3, 0,
         [](auto& s) {
             s.resize(3);
             s[2] = s[1];
         },
         false},
        {"a typo", Scheme::shamir, 3, 0,
         [](auto& s) {
             s.resize(3);
             s[1][40] = s[1][40] == 'a' ? 'b' : 'a';
         },
         false},
        {"a foreign share", Scheme::shamir, 3, 0,
         [](auto& s) {
             s.resize(3);
             s[2] = split_of(Scheme::shamir, 3, 5, 'y')[2];
         },
         false},
        {"another scheme", Scheme::shamir, 2, 0,
         [](auto& s) {
             s.resize(2);
             s[1] = split_of(Scheme::blakley, 2, 2, 'y')[1];
         },
         false},
        {"a bare share", Scheme::shamir, 2, 2,
         [](auto& s) {
             s.resize(2);
             s[1] = s[1].substr(s[1].find('-', 25) + 1);
         },
         false},
        {"too many shares for the stack", Scheme::shamir, 9, 0, [](auto& s) { s.resize(9); },
         false},
    };
    for (const auto& row : rows) {
        std::vector<std::string> shares = split_of(row.scheme, row.k, 10, 'x');
        row.edit(shares);
        const std::vector<std::string_view> views(shares.begin(), shares.end());
        SecretBytes quick;
        const bool answered = quick_combine(views, row.k_given, quick);
        EXPECT_EQ(answered, row.quick) << row.name;
        const ShareSet full(views, row.k_given);
        if (answered) {
            ASSERT_TRUE(full.report().usable()) << row.name;
            SecretBytes secret;
            full.secret(secret);
            EXPECT_EQ(quick.bytes, secret.bytes) << row.name;
            EXPECT_EQ(std::string(quick.bytes.begin(), quick.bytes.end()), std::string(32, 'x'))
                << row.name;
        }
    }
}

}  // namespace
}  // namespace varnhold
