// Split then combine, for both schemes: an arbitrary secret, small k and n, and random bytes
// scripted by the input. Every k-subset tried, in the order the input picks, must rebuild the
// secret. Blakley may refuse a subset whose scripted hyperplanes are dependent, but only that way.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <numeric>

#include "blakley/blakley.hpp"
#include "field/chunks.hpp"
#include "fuzz_support.hpp"
#include "shamir/shamir.hpp"

using namespace varnhold;

namespace {

constexpr std::uint64_t max_n = 10;
constexpr int subsets_per_scheme = 8;

// Picks k distinct positions of 0..n-1 in an order chosen by the input.
std::vector<std::string_view> pick(FuzzedDataProvider& input, const std::vector<std::string>& all,
                                   std::size_t k) {
    std::vector<std::size_t> order(all.size());
    std::iota(order.begin(), order.end(), 0);
    for (std::size_t i = 0; i + 1 < order.size(); ++i) {
        std::swap(order[i], order[input.ConsumeIntegralInRange<std::size_t>(i, order.size() - 1)]);
    }
    std::vector<std::string_view> chosen;
    for (std::size_t i = 0; i < k; ++i) chosen.push_back(all[order[i]]);
    return chosen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string secret = input.ConsumeBytesAsString(secret_length);
    if (secret.size() != secret_length) return 0;
    const auto k = input.ConsumeIntegralInRange<std::uint64_t>(2, 6);
    const auto n = input.ConsumeIntegralInRange<std::uint64_t>(k, max_n);
    const std::size_t random_length = input.ConsumeIntegralInRange<std::size_t>(0, 4096);
    const std::vector<std::uint8_t> random_bytes = input.ConsumeBytes<std::uint8_t>(random_length);

    for (const bool blakley : {false, true}) {
        fuzz::ReplaySource random(random_bytes.data(), random_bytes.size());
        VectorShareWriter shares;
        const Result<void> split = blakley ? blakley_split(secret, k, n, random, shares)
                                           : shamir_split(secret, k, n, random, shares);
        fuzz::check(split.ok(), "a valid split failed");
        fuzz::check(shares.texts.size() == n, "the split made the wrong number of shares");
        for (int round = 0; round < subsets_per_scheme; ++round) {
            const std::vector<std::string_view> chosen =
                pick(input, shares.texts, static_cast<std::size_t>(k));
            const Result<SecretBytes> rebuilt =
                blakley ? blakley_combine(chosen, k) : shamir_combine(chosen, k);
            if (!rebuilt) {
                fuzz::check(blakley && rebuilt.error().message == "System is linearly dependent",
                            "k shares of one split did not combine", rebuilt.error().message);
                continue;
            }
            fuzz::check(std::equal(secret.begin(), secret.end(), rebuilt->bytes.begin(),
                                   [](char a, std::uint8_t b) {
                                       return static_cast<std::uint8_t>(a) == b;
                                   }),
                        blakley ? "Blakley shares rebuilt another secret"
                                : "Shamir shares rebuilt another secret");
        }
    }
    return 0;
}
