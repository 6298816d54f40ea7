#pragma once

#include <poll.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "random/byte_source.hpp"

namespace varnhold {

// The system calls the entropy source makes, behind one seam so that tests can inject EINTR,
// EPERM/ENOSYS, short reads, zero-byte reads and hard errors. Each returns what the system call
// returns and reports failure through errno, exactly like the real call.
struct SystemCalls {
    long (*getrandom)(void* buffer, std::size_t length, unsigned int flags);
    int (*open)(const char* path, int flags);
    int (*poll)(struct pollfd* fds, nfds_t count, int timeout_ms);
    ssize_t (*read)(int fd, void* buffer, std::size_t length);
    int (*close)(int fd);
};

const SystemCalls& kernel_system_calls();

// Internal error codes; values below 2^31 are operating-system error numbers.
inline constexpr std::uint32_t entropy_error_no_errno = (std::uint32_t{1} << 31) + 1;
inline constexpr std::uint32_t entropy_error_unexpected = (std::uint32_t{1} << 31) + 2;

// The text of an error code as it appears after "Error: " in the PanicException.
std::string describe_entropy_error(std::uint32_t code);

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF). An error text that fails this is replaced by the error number.
bool error_text_is_utf8(std::string_view text) noexcept;

// The operating system's random source: getrandom when the kernel offers it, otherwise
// /dev/urandom opened once (after /dev/random has polled readable) and kept open. Nothing is
// buffered: every fill is a fresh request to the kernel. A failure throws InternalFailure with
// "Error: {}".
class EntropySource final : public ByteSource {
public:
    explicit EntropySource(const SystemCalls& calls);
    EntropySource(const EntropySource&) = delete;
    EntropySource& operator=(const EntropySource&) = delete;

    void fill(std::uint8_t* data, std::size_t length) override;

    // For tests: the cached device descriptor, or -1.
    int cached_descriptor() const noexcept { return device_fd_.load(std::memory_order_acquire); }

private:
    enum Availability : int { unknown = 0, available = 1, unavailable = 2 };

    bool getrandom_available();
    int device_descriptor();
    // The rest of a getrandom fill whose first request returned `first`, not the whole length.
    [[gnu::noinline]] void finish_with_getrandom(std::uint8_t* data, std::size_t length,
                                                 long first);

    const SystemCalls& calls_;
    std::atomic<int> getrandom_availability_{unknown};
    std::atomic<int> device_fd_{-1};
    std::mutex open_mutex_;
};

// The process-wide source over the real kernel, made on first use and never destroyed.
EntropySource& process_entropy_source();

// Fills the buffer from the process-wide source; a length of 0 touches nothing.
void fill_random(std::uint8_t* data, std::size_t length);

}  // namespace varnhold
