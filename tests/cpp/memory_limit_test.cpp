#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <new>
#include <string>

#include "blakley/blakley.hpp"
#include "common/memory_limit.hpp"
#include "common/share_writer.hpp"
#include "shamir/shamir.hpp"

namespace varnhold {
namespace {

std::uint64_t address_space_in_use() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages = 0;
    statm >> pages;
    return pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

// Runs `body` in a child process whose address space may grow by `headroom` bytes only; returns
// the child's exit status (body's result, or 100 + a signal number).
template <class Body>
int under_address_space_headroom(std::uint64_t headroom, Body body) {
    const pid_t child = fork();
    if (child == 0) {
        const rlimit limit{address_space_in_use() + headroom, RLIM_INFINITY};
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(99);
        _exit(body());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

constexpr std::uint64_t mib = std::uint64_t{1} << 20;

int fits(std::uint64_t bytes) {
    try {
        require_fits_in_memory(bytes);
        return 0;
    } catch (const std::bad_alloc&) {
        return 1;
    }
}

TEST(MemoryLimit, RequestsAreMeasuredAgainstTheAddressSpaceLimit) {
    const struct {
        const char* name;
        std::uint64_t headroom;
        std::uint64_t request;
        int refused;
    } cases[] = {
        {"well under the headroom", 512 * mib, 256 * mib, 0},
        {"over the headroom", 256 * mib, 512 * mib, 1},
        {"far over", 256 * mib, UINT64_MAX, 1},
        // Small requests are left to the allocator, so not even a tight limit is consulted.
        {"below the threshold", 1 * mib, memory_check_threshold - 1, 0},
        {"at the threshold", 1 * mib, memory_check_threshold, 1},
    };
    for (const auto& test : cases) {
        EXPECT_EQ(under_address_space_headroom(test.headroom, [&] { return fits(test.request); }),
                  test.refused)
            << test.name;
    }
}

TEST(MemoryLimit, ObtainableMemoryIsBoundedByLimitAndMachine) {
    EXPECT_LE(obtainable_memory_bytes(), physical_memory_bytes());
    EXPECT_EQ(under_address_space_headroom(300 * mib,
                                           [] {
                                               const std::uint64_t got = obtainable_memory_bytes();
                                               return got <= 300 * mib && got > 200 * mib ? 0 : 1;
                                           }),
              0);
}

class NoDraws final : public ByteSource {
public:
    void fill(std::uint8_t*, std::size_t) override { std::_Exit(3); }
};

TEST(MemoryLimit, ShamirSplitOutputBeyondTheLimitFailsBeforeAnyDraw) {
    const struct {
        const char* name;
        std::uint64_t k, n;
    } cases[] = {
        // 2^20 shares of about 139 characters: 146 MB of text.
        {"many shares", 2, 1048576},
        // 4 * 999999 coefficients of 16 bytes: 64 MB before the first share.
        {"many coefficients", 1000000, 1000000},
    };
    for (const auto& test : cases) {
        const int status = under_address_space_headroom(48 * mib, [&] {
            NoDraws never;
            VectorShareWriter out;
            try {
                (void)shamir_split(std::string(32, 's'), test.k, test.n, never, out);
            } catch (const std::bad_alloc&) {
                return 0;
            }
            return 1;
        });
        EXPECT_EQ(status, 0) << test.name;
    }
}

TEST(MemoryLimit, SplitOutputBeyondTheLimitFailsBeforeAnyDraw) {
    // 2000 shares of threshold 1000: 66 MB of text.
    const int status = under_address_space_headroom(48 * mib, [] {
        NoDraws never;
        VectorShareWriter out;
        try {
            (void)blakley_split(std::string(32, 's'), 1000, 2000, never, out);
        } catch (const std::bad_alloc&) {
            return 0;
        }
        return 1;
    });
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace varnhold
