// The CRC-64 of the version 2 check on both paths, the check's digits, and what it detects.

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <random>
#include <string>

#include "hash/crc64.hpp"
#include "hash/text_check.hpp"
#include "text_errors.hpp"

namespace varnhold {
namespace {

using testing::first_printable;
using testing::last_printable;

// The CRC bit by bit with a branch per bit, as the polynomial's definition reads.
std::uint64_t reference_crc64(std::string_view data) {
    std::uint64_t c = ~std::uint64_t{0};
    for (const char ch : data) {
        c ^= static_cast<unsigned char>(ch);
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) != 0 ? (c >> 1) ^ 0xC96C5795D7870F42ULL : c >> 1;
    }
    return ~c;
}

using CrcPath = std::uint64_t (*)(std::string_view) noexcept;

std::vector<std::pair<const char*, CrcPath>> available_paths() {
    std::vector<std::pair<const char*, CrcPath>> paths = {{"portable", crc64_portable},
                                                          {"dispatched", crc64}};
#if defined(__x86_64__)
    if (crc64_clmul_available()) paths.emplace_back("clmul", crc64_clmul);
#endif
    return paths;
}

#if defined(__x86_64__)
// The run-time choice follows the processor: the portable wheel's runtime once answered "no"
// everywhere, so the carry-less path never ran where it was published.
TEST(Crc64, CarrylessPathIsChosenWhereTheProcessorHasIt) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line) && line.rfind("flags", 0) != 0) {
    }
    if (line.empty()) GTEST_SKIP() << "no /proc/cpuinfo flags";
    const bool listed = (line + " ").find(" pclmulqdq ") != std::string::npos;
    EXPECT_EQ(crc64_clmul_available(), listed);
}
#endif

TEST(Crc64, EveryPathGivesThePublishedCheckValue) {
    for (const auto& [name, path] : available_paths()) {
        EXPECT_EQ(path("123456789"), 0x995DC9BBDF1939FAULL) << name;
        EXPECT_EQ(path(""), 0u) << name;
    }
}

// Random bytes of every length 0..600, so that every count of whole 16-byte blocks, a trailing
// word and a trailing 0..7 bytes meet, at every alignment of the start.
TEST(Crc64, EveryPathAgreesWithTheBitwiseDefinition) {
    std::mt19937_64 random(19);
    std::string buffer(608, '\0');
    const auto paths = available_paths();
    for (std::size_t length = 0; length <= 600; ++length) {
        for (int trial = 0; trial < 4; ++trial) {
            for (char& ch : buffer) ch = static_cast<char>(random());
            const std::string_view data(buffer.data() + trial, length);
            const std::uint64_t expected = reference_crc64(data);
            for (const auto& [name, path] : paths)
                ASSERT_EQ(path(data), expected) << name << " length " << length;
        }
    }
}

TEST(TextCheck, WritesTheCrcThenTheSumInEighteenLowerCaseDigits) {
    char digits[text_check_length + 1] = {};
    ASSERT_TRUE(write_text_check("123456789", digits));
    // The sum of '1'..'9' is 477, 226 modulo 251.
    EXPECT_STREQ(digits, "995dc9bbdf1939fae2");
}

TEST(TextCheck, RefusesEveryByteThatIsNotPrintable) {
    std::mt19937_64 random(1);
    const std::string base = testing::share_like_text(130, random);
    char digits[text_check_length];
    for (int byte = 0; byte < 256; ++byte) {
        // Every position: the bytes reach the range test through each way the CRC takes them.
        for (std::size_t at = 0; at < base.size(); ++at) {
            std::string text = base;
            text[at] = static_cast<char>(byte);
            EXPECT_EQ(write_text_check(text, digits), byte >= 0x21 && byte <= 0x7E)
                << "byte " << byte << " at " << at;
        }
    }
}

// The sum comes from the same pass as the CRC: at every length both must be those of the text.
TEST(TextCheck, GivesTheCrcAndTheByteSumAtEveryLength) {
    std::mt19937_64 random(7);
    const std::string text = testing::share_like_text(400, random);
    for (std::size_t length = 0; length <= text.size(); ++length) {
        const std::string_view part(text.data(), length);
        unsigned sum = 0;
        for (const char c : part) sum += static_cast<unsigned char>(c);
        const TextCheck check = text_check(part);
        ASSERT_EQ(check.crc, reference_crc64(part)) << "length " << length;
        ASSERT_EQ(check.sum, sum % 251) << "length " << length;
    }
}

bool same_check(const TextCheck& a, const TextCheck& b) { return a.crc == b.crc && a.sum == b.sum; }

class TextCheckGuarantee : public ::testing::TestWithParam<std::size_t> {
protected:
    std::string text_ = [] {
        std::mt19937_64 random(GetParam());
        return testing::share_like_text(GetParam(), random);
    }();
    TextCheck check_ = text_check(text_);
};

// Every single substituted character, and every pair inside a window of eight, by every other
// printable character: each such change lies within 64 consecutive bits.
TEST_P(TextCheckGuarantee, DetectsEverySubstitutionInsideEightCharacters) {
    std::string text = text_;
    std::size_t passed = 0;
    std::size_t tried = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        for (char a = first_printable; a <= last_printable; ++a) {
            if (a == text_[i]) continue;
            text[i] = a;
            ++tried;
            passed += same_check(text_check(text), check_);
            for (std::size_t j = i + 1; j < i + 8 && j < text.size(); ++j) {
                for (char b = first_printable; b <= last_printable; ++b) {
                    if (b == text_[j]) continue;
                    text[j] = b;
                    ++tried;
                    passed += same_check(text_check(text), check_);
                }
                text[j] = text_[j];
            }
        }
        text[i] = text_[i];
    }
    EXPECT_EQ(passed, 0u) << "of " << tried;
    EXPECT_GT(tried, 7 * 93 * 93 * (text_.size() - 8));
}

// Every single printable character inserted anywhere, and every single character removed.
TEST_P(TextCheckGuarantee, DetectsEverySingleInsertionAndDeletion) {
    std::size_t passed = 0;
    for (std::size_t at = 0; at <= text_.size(); ++at) {
        for (char ch = first_printable; ch <= last_printable; ++ch) {
            std::string text = text_;
            text.insert(at, 1, ch);
            passed += same_check(text_check(text), check_);
        }
        if (at < text_.size()) {
            std::string text = text_;
            text.erase(at, 1);
            passed += same_check(text_check(text), check_);
        }
    }
    EXPECT_EQ(passed, 0u);
}

// Random texts with two to six random typing errors each (the full count is run by
// bench/cpp/check_random_errors.cpp).
TEST_P(TextCheckGuarantee, DetectsRandomMultipleErrors) {
    std::mt19937_64 random(GetParam() * 7);
    std::size_t passed = 0;
    std::size_t changed = 0;
    for (int trial = 0; trial < 100000; ++trial) {
        std::string text = text_;
        const int errors = 2 + static_cast<int>(random() % 5);
        for (int e = 0; e < errors; ++e) testing::add_random_error(text, random);
        if (text == text_) continue;
        ++changed;
        passed += same_check(text_check(text), check_);
    }
    EXPECT_EQ(passed, 0u) << "of " << changed;
    EXPECT_GT(changed, 99000u);
}

INSTANTIATE_TEST_SUITE_P(ShareLengths, TextCheckGuarantee, ::testing::Values(130, 250));

}  // namespace
}  // namespace varnhold
