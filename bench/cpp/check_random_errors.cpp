// Random multi-error trials against the version 2 text check: share-like texts of 130 and 250
// characters, each trial two to six random typing errors (substitutions, neighbour swaps,
// insertions, deletions; see tests/cpp/text_errors.hpp). Counts the trials whose text changed
// and how many of them still passed the check; exits 1 if any passed.
//
// Usage: varnhold_check_random_errors [trials, default 100000000] [seed, default 1]

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "hash/text_check.hpp"
#include "text_errors.hpp"

using namespace varnhold;

int main(int argc, char** argv) {
    const std::uint64_t trials = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000000ULL;
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    std::mt19937_64 random(seed);
    std::uint64_t changed = 0;
    std::uint64_t passed = 0;
    std::string originals[2];
    TextCheck checks[2];
    std::string text;
    for (std::uint64_t trial = 0; trial < trials; ++trial) {
        // A fresh pair of texts every 1000 trials.
        if (trial % 1000 == 0) {
            for (int t = 0; t < 2; ++t) {
                originals[t] = testing::share_like_text(t == 0 ? 130 : 250, random);
                checks[t] = text_check(originals[t]);
            }
        }
        const int which = static_cast<int>(trial % 2);
        text = originals[which];
        const int errors = 2 + static_cast<int>(random() % 5);
        for (int e = 0; e < errors; ++e) testing::add_random_error(text, random);
        if (text == originals[which]) continue;
        ++changed;
        const TextCheck check = text_check(text);
        if (check.crc == checks[which].crc && check.sum == checks[which].sum) {
            ++passed;
            std::printf("passed: %s\n", text.c_str());
        }
    }
    std::printf("trials %llu, texts changed %llu, passed the check %llu\n",
                static_cast<unsigned long long>(trials), static_cast<unsigned long long>(changed),
                static_cast<unsigned long long>(passed));
    return passed == 0 ? 0 : 1;
}
