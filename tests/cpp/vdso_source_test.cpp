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

// A scripted vDSO: what the lookup finds, what the parameters call reports, whether the mapping
// succeeds and what each request returns. Requests it answers in full write 0xAB.
struct FakeVdso {
    bool exported = true;
    long parameters_result = 0;
    std::uint32_t state_size = 256;
    bool mapping_works = true;
    std::vector<long> answers;  // one per request; past the end, the full length
    std::size_t requests = 0;
    std::size_t maps = 0;
    int mapped_protection = 0;
    int mapped_flags = 0;
    void* state_seen = nullptr;
    std::size_t state_length_seen = 0;
    alignas(4096) std::uint8_t page[4096];
};

FakeVdso fake;

long fake_getrandom(void* buffer, std::size_t length, unsigned int flags, void* state,
                    std::size_t state_length) {
    EXPECT_EQ(flags, 0u);
    if (state_length == ~std::size_t{0}) {
        EXPECT_EQ(buffer, nullptr);
        EXPECT_EQ(length, 0u);
        const std::uint32_t parameters[16] = {fake.state_size, 3, 0x28};
        std::memcpy(state, parameters, sizeof parameters);
        return fake.parameters_result;
    }
    fake.state_seen = state;
    fake.state_length_seen = state_length;
    const long answer = fake.requests < fake.answers.size() ? fake.answers[fake.requests]
                                                            : static_cast<long>(length);
    ++fake.requests;
    if (answer > 0) std::memset(buffer, 0xAB, std::min(static_cast<std::size_t>(answer), length));
    return answer;
}

const VdsoCalls fake_calls{
    []() -> VdsoGetrandom { return fake.exported ? fake_getrandom : nullptr; },
    [](std::size_t length, int protection, int flags) -> void* {
        EXPECT_EQ(length, sizeof fake.page);
        ++fake.maps;
        fake.mapped_protection = protection;
        fake.mapped_flags = flags;
        return fake.mapping_works ? fake.page : nullptr;
    },
    [](void* address, std::size_t) { EXPECT_EQ(address, fake.page); },
    []() -> std::size_t { return sizeof fake.page; },
};

struct Row {
    const char* name;
    FakeVdso setup;
    std::size_t fills;
    std::size_t vdso_requests;                  // requests that reached the function
    std::vector<std::size_t> fallback_lengths;  // requests that reached the system call
    bool uses_vdso_after;
};

FakeVdso with(void (*change)(FakeVdso&)) {
    FakeVdso setup;
    change(setup);
    return setup;
}

TEST(VdsoSource, EveryRequestGoesToTheVdsoOrWhollyToTheSystemCall) {
    const std::vector<Row> rows = {
        {"exported", {}, 3, 3, {}, true},
        {"symbol hidden", with([](FakeVdso& f) { f.exported = false; }), 3, 0, {40, 40, 40}, false},
        {"parameters refused",
         with([](FakeVdso& f) { f.parameters_result = -ENOSYS; }),
         2,
         0,
         {40, 40},
         false},
        {"state larger than a page",
         with([](FakeVdso& f) { f.state_size = 4097; }),
         2,
         0,
         {40, 40},
         false},
        {"state of no size", with([](FakeVdso& f) { f.state_size = 0; }), 1, 0, {40}, false},
        {"mapping refused",
         with([](FakeVdso& f) { f.mapping_works = false; }),
         2,
         0,
         {40, 40},
         false},
        // The first error hands this request and every later one to the system call.
        {"error", with([](FakeVdso& f) { f.answers = {-EPERM}; }), 3, 1, {40, 40, 40}, false},
        {"later error", with([](FakeVdso& f) { f.answers = {40, -EIO}; }), 3, 2, {40, 40}, false},
        {"count past the request", with([](FakeVdso& f) { f.answers = {41}; }), 1, 1, {40}, false},
        {"zero count", with([](FakeVdso& f) { f.answers = {0}; }), 1, 1, {40}, false},
        // A partial answer is completed by the system call and the vDSO stays in use.
        {"short answer", with([](FakeVdso& f) { f.answers = {16}; }), 2, 2, {24}, true},
    };
    for (const Row& row : rows) {
        fake = row.setup;
        testing::ScriptedSource fallback({}, 0x5C);
        {
            VdsoEntropySource source(fake_calls, fallback);
            EXPECT_FALSE(source.uses_vdso()) << row.name;
            source.fill(nullptr, 0);
            EXPECT_EQ(fake.maps, 0u) << row.name << ": an empty fill prepares nothing";
            for (std::size_t i = 0; i < row.fills; ++i) {
                std::vector<std::uint8_t> bytes(40, 0);
                source.fill(bytes.data(), bytes.size());
                for (const std::uint8_t byte : bytes) {
                    ASSERT_TRUE(byte == 0xAB || byte == 0x5C) << row.name << ": byte left unset";
                }
            }
            EXPECT_EQ(fake.requests, row.vdso_requests) << row.name;
            EXPECT_EQ(fallback.request_lengths, row.fallback_lengths) << row.name;
            EXPECT_EQ(source.uses_vdso(), row.uses_vdso_after) << row.name;
        }
        if (row.vdso_requests > 0) {
            // The kernel's protection and flags, the state at the start of its own page.
            EXPECT_EQ(fake.mapped_protection, 3) << row.name;
            EXPECT_EQ(fake.mapped_flags, 0x28) << row.name;
            EXPECT_EQ(fake.state_seen, fake.page) << row.name;
            EXPECT_EQ(fake.state_length_seen, fake.state_size) << row.name;
        }
    }
}

TEST(VdsoSymbol, FindsOnlyAFunctionOfThatNameAtThatVersion) {
    const std::uintptr_t image = vdso_image();
    if (image == 0) GTEST_SKIP() << "no vDSO (valgrind hides it)";
    // Every x86-64 vDSO exports clock_gettime at LINUX_2.6.
    EXPECT_NE(vdso_function(image, "LINUX_2.6", "__vdso_clock_gettime"), nullptr);
    EXPECT_EQ(vdso_function(image, "LINUX_2.7", "__vdso_clock_gettime"), nullptr);
    EXPECT_EQ(vdso_function(image, "LINUX_2.6", "__vdso_clock_gettim"), nullptr);
    EXPECT_EQ(vdso_function(image, "LINUX_2.6", "LINUX_2.6"), nullptr);
    EXPECT_EQ(vdso_function(0, "LINUX_2.6", "__vdso_clock_gettime"), nullptr);
    // Not an ELF image.
    const std::uint64_t words[16] = {};
    EXPECT_EQ(vdso_function(reinterpret_cast<std::uintptr_t>(words), "LINUX_2.6", "__vdso_time"),
              nullptr);
}

// Threads drawing from the one process-wide source at once: a request finding the state in use
// takes the system call, and no two draws agree.
TEST(VdsoSource, ThreadsDrawDistinctBytesFromTheOneState) {
    constexpr std::size_t thread_count = 4;
    constexpr std::size_t draws = 500;
    std::vector<std::vector<std::string>> drawn(thread_count);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < thread_count; ++t) {
        threads.emplace_back([&drawn, t] {
            for (std::size_t i = 0; i < draws; ++i) {
                std::string bytes(24, '\0');
                process_vdso_source().fill(reinterpret_cast<std::uint8_t*>(bytes.data()),
                                           bytes.size());
                drawn[t].push_back(bytes);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::set<std::string> distinct;
    for (const auto& list : drawn) distinct.insert(list.begin(), list.end());
    EXPECT_EQ(distinct.size(), thread_count * draws);
    EXPECT_EQ(distinct.count(std::string(24, '\0')), 0u);
    // Where the kernel exports the function, the real state was mapped and served every draw.
    EXPECT_EQ(process_vdso_source().uses_vdso(), kernel_vdso_calls().find_getrandom() != nullptr);
}

}  // namespace
}  // namespace varnhold
