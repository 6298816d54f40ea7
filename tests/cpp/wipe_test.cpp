#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <utility>

#include "common/wipe.hpp"

namespace varnhold {
namespace {

bool all_zero(const SecretBytes& secret) {
    return std::all_of(secret.bytes.begin(), secret.bytes.end(),
                       [](std::uint8_t byte) { return byte == 0; });
}

SecretBytes filled(std::uint8_t value) {
    SecretBytes secret;
    secret.bytes.fill(value);
    return secret;
}

TEST(SecretBytes, MoveLeavesTheBytesOnlyInTheDestination) {
    struct Case {
        const char* name;
        SecretBytes (*move)(SecretBytes& from);
    };
    const Case cases[] = {
        {"construct", [](SecretBytes& from) { return SecretBytes(std::move(from)); }},
        {"assign",
         [](SecretBytes& from) {
             SecretBytes to = filled(0x11);
             to = std::move(from);
             return to;
         }},
    };
    for (const Case& c : cases) {
        SecretBytes source = filled(0xa5);
        const SecretBytes destination = c.move(source);
        EXPECT_TRUE(all_zero(source)) << c.name;
        EXPECT_TRUE(std::all_of(destination.bytes.begin(), destination.bytes.end(),
                                [](std::uint8_t byte) { return byte == 0xa5; }))
            << c.name;
    }
    // A move onto itself keeps the bytes.
    SecretBytes same = filled(0x5a);
    SecretBytes& alias = same;
    same = std::move(alias);
    EXPECT_EQ(same.bytes[0], 0x5a);
}

TEST(WipeAtExit, WipesItsRangeOnReturnAndOnThrowAndNothingElse) {
    for (const bool throws : {false, true}) {
        unsigned char buffer[24];
        std::fill(std::begin(buffer), std::end(buffer), 0xcc);
        std::span<unsigned char> middle(buffer + 4, 16);
        try {
            const WipeAtExit wipe(middle);
            if (throws) throw std::runtime_error("stop");
        } catch (const std::runtime_error&) {
        }
        for (std::size_t i = 0; i < sizeof buffer; ++i) {
            const unsigned char expected = i >= 4 && i < 20 ? 0 : 0xcc;
            EXPECT_EQ(buffer[i], expected) << "byte " << i << (throws ? " after a throw" : "");
        }
    }
}

}  // namespace
}  // namespace varnhold
