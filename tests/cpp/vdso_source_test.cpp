#include "random/vdso_source.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "random/entropy_source.hpp"
#include "random/vdso_symbol.hpp"
#include "test_support.hpp"

namespace varnhold {
namespace {

// A scripted vDSO, and its answers to requests, one each (past the end, the full length); a
// positive answer writes 0xAB over that many bytes.
struct Script {
    bool exported = true;
    long parameters_result = 0;
    std::uint32_t state_size = 256;
    bool mapping_works = true;
};

Script script;
std::vector<long> answers;
std::size_t requests = 0;
std::vector<std::string> seen;  // the mapping asked for and the state each request was given
alignas(4096) std::uint8_t page[4096];

long fake_getrandom(void* buffer, std::size_t length, unsigned int flags, void* state,
                    std::size_t state_length) {
    EXPECT_EQ(flags, 0u);
    if (state_length == ~std::size_t{0} && buffer == nullptr && length == 0) {
        const std::uint32_t parameters[16] = {script.state_size, 3, 0x28};
        std::memcpy(state, parameters, sizeof parameters);
        return script.parameters_result;
    }
    EXPECT_TRUE(state == page && state_length == script.state_size);
    const long answer = requests < answers.size() ? answers[requests] : static_cast<long>(length);
    ++requests;
    if (answer > 0) std::memset(buffer, 0xAB, std::min(static_cast<std::size_t>(answer), length));
    return answer;
}

const VdsoCalls fake_calls{
    []() -> VdsoGetrandom { return script.exported ? fake_getrandom : nullptr; },
    [](std::size_t length, int protection, int flags) -> void* {
        seen.push_back(std::to_string(length) + " " + std::to_string(protection) + " " +
                       std::to_string(flags));
        return script.mapping_works ? page : nullptr;
    },
    [](void* address, std::size_t length) { EXPECT_TRUE(address == page && length == 4096); },
    []() -> std::size_t { return sizeof page; },
};

struct Row {
    const char* name;
    Script script;
    std::vector<long> answers;
    std::size_t fills;                          // of 40 bytes each
    std::size_t vdso_requests;                  // requests that reached the function
    std::vector<std::size_t> fallback_lengths;  // requests that reached the system call
    bool uses_vdso_after;
};

TEST(VdsoSource, EveryRequestGoesToTheVdsoOrWhollyToTheSystemCall) {
    const std::vector<Row> rows = {
        {"exported", {}, {}, 3, 3, {}, true},
        {"symbol hidden", {.exported = false}, {}, 2, 0, {40, 40}, false},
        {"parameters refused", {.parameters_result = -ENOSYS}, {}, 2, 0, {40, 40}, false},
        {"state larger than a page", {.state_size = 4097}, {}, 2, 0, {40, 40}, false},
        {"state of no size", {.state_size = 0}, {}, 1, 0, {40}, false},
        {"mapping refused", {.mapping_works = false}, {}, 2, 0, {40, 40}, false},
        // The first error hands this request and every later one to the system call.
        {"error", {}, {-EPERM}, 3, 1, {40, 40, 40}, false},
        {"later error", {}, {40, -EIO}, 3, 2, {40, 40}, false},
        {"count past the request", {}, {41}, 1, 1, {40}, false},
        {"zero count", {}, {0}, 1, 1, {40}, false},
        // A partial answer is completed by the system call and the vDSO stays in use.
        {"short answer", {}, {16}, 2, 2, {24}, true},
    };
    for (const Row& row : rows) {
        script = row.script;
        answers = row.answers;
        requests = 0;
        seen.clear();
        testing::ScriptedSource fallback({}, 0x5C);
        VdsoEntropySource source(fake_calls, fallback);
        source.fill(nullptr, 0);
        EXPECT_TRUE(seen.empty()) << row.name << ": an empty fill prepares nothing";
        for (std::size_t i = 0; i < row.fills; ++i) {
            std::vector<std::uint8_t> bytes(40, 0);
            source.fill(bytes.data(), bytes.size());
            EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0), 0) << row.name;
        }
        EXPECT_EQ(requests, row.vdso_requests) << row.name;
        EXPECT_EQ(fallback.request_lengths, row.fallback_lengths) << row.name;
        EXPECT_EQ(source.uses_vdso(), row.uses_vdso_after) << row.name;
        // One page mapped with the kernel's protection and flags, when there is a state to map.
        if (row.vdso_requests > 0) {
            EXPECT_EQ(seen, std::vector<std::string>{"4096 3 40"}) << row.name;
        }
    }
}

TEST(VdsoSymbol, FindsOnlyAFunctionOfThatNameAtThatVersion) {
    const std::uintptr_t image = vdso_image();
    if (image == 0) GTEST_SKIP() << "no vDSO (valgrind hides it)";
    const std::uint64_t not_elf[16] = {};
    const struct {
        std::uintptr_t image;
        const char* version;
        const char* name;
        bool found;
    } rows[] = {
        // Every x86-64 vDSO exports clock_gettime at LINUX_2.6.
        {image, "LINUX_2.6", "__vdso_clock_gettime", true},
        {image, "LINUX_2.7", "__vdso_clock_gettime", false},
        {image, "LINUX_2.6", "__vdso_clock_gettim", false},
        {image, "LINUX_2.6", "LINUX_2.6", false},
        {0, "LINUX_2.6", "__vdso_clock_gettime", false},
        {reinterpret_cast<std::uintptr_t>(not_elf), "LINUX_2.6", "__vdso_clock_gettime", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(vdso_function(row.image, row.version, row.name) != nullptr, row.found)
            << row.version << " " << row.name;
    }
}

// Threads drawing from the one process-wide source at once: a request that finds the state in
// use takes the system call, and no two draws agree.
TEST(VdsoSource, ThreadsDrawDistinctBytesFromTheOneState) {
    constexpr std::size_t thread_count = 4;
    constexpr std::size_t draws = 500;
    std::vector<std::vector<std::string>> drawn(thread_count);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < thread_count; ++t) {
        threads.emplace_back([&list = drawn[t]] {
            for (std::size_t i = 0; i < draws; ++i) {
                std::string bytes(24, '\0');
                process_vdso_source().fill(reinterpret_cast<std::uint8_t*>(bytes.data()), 24);
                list.push_back(bytes);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::set<std::string> distinct;
    for (const auto& list : drawn) distinct.insert(list.begin(), list.end());
    EXPECT_EQ(distinct.size(), thread_count * draws);
    // Where the kernel exports the function, the real state was mapped and served the draws.
    EXPECT_EQ(process_vdso_source().uses_vdso(), kernel_vdso_calls().find_getrandom() != nullptr);
}

}  // namespace
}  // namespace varnhold
