#include "random/entropy_source.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "common/internal_failure.hpp"

namespace varnhold {
namespace {

constexpr const char* random_device_path = "/dev/random";
constexpr const char* urandom_device_path = "/dev/urandom";
constexpr int device_open_flags = O_RDONLY | O_CLOEXEC;

// strerror_r's text is taken only if it fits a buffer of this size, terminator included.
constexpr std::size_t error_text_capacity = 128;

[[noreturn]] void fail(std::uint32_t code) {
    throw InternalFailure("Error: " + describe_entropy_error(code));
}

// The code for a call that has just failed with `error` (errno, read straight after the call).
// A failure that leaves errno unset or negative still has to be reported as a failure.
std::uint32_t failure_code(int error) {
    return error > 0 ? static_cast<std::uint32_t>(error) : entropy_error_no_errno;
}

// What one request's result adds to the bytes done; 0 to ask again. The result rules are the
// same for getrandom and for read: a positive count advances, -1 with EINTR asks again, and a
// count the kernel can never legitimately return (0, more than asked for, or a negative value
// other than -1) is reported rather than trusted. errno is read first, straight after the call.
std::size_t accepted_count(long result, std::size_t remaining) {
    if (result > 0) {
        if (static_cast<unsigned long>(result) > remaining) fail(entropy_error_unexpected);
        return static_cast<std::size_t>(result);
    }
    if (result == -1) {
        const int error = errno;
        if (error <= 0) fail(entropy_error_no_errno);
        if (error == EINTR) return 0;
        fail(static_cast<std::uint32_t>(error));
    }
    fail(entropy_error_unexpected);
}

// Runs `request(position, remaining)` until the buffer is full, `done` bytes of it already are.
template <class Request>
void fill_by_requests(std::uint8_t* data, std::size_t length, std::size_t done, Request request) {
    while (done < length) {
        const std::size_t remaining = length - done;
        done += accepted_count(request(data + done, remaining), remaining);
    }
}

int open_device(const SystemCalls& calls, const char* path) {
    for (;;) {
        const int fd = calls.open(path, device_open_flags);
        if (fd >= 0) return fd;
        const int error = errno;
        if (error != EINTR) fail(failure_code(error));
    }
}

// /dev/random becomes readable once the kernel's pool has been initialised; /dev/urandom gives
// no such signal, so the wait happens on the one before the other is opened.
int open_urandom_after_pool_ready(const SystemCalls& calls) {
    const int random_fd = open_device(calls, random_device_path);
    pollfd entry{};
    entry.fd = random_fd;
    entry.events = POLLIN;
    for (;;) {
        if (calls.poll(&entry, 1, -1) >= 0) break;
        const int error = errno;
        if (error == EINTR || error == EAGAIN) continue;
        calls.close(random_fd);
        fail(failure_code(error));
    }
    calls.close(random_fd);
    return open_device(calls, urandom_device_path);
}

// The GNU strerror_r returns the text, which may be a static string instead of the buffer.
[[maybe_unused]] const char* strerror_result(const char* text, const char* /*buffer*/) {
    return text;
}

// The XSI strerror_r returns 0 after writing the text into the buffer.
[[maybe_unused]] const char* strerror_result(int status, const char* buffer) {
    return status == 0 ? buffer : nullptr;
}

}  // namespace

namespace {

// getrandom(2), made straight from here on x86-64 Linux: the C library's generic syscall() costs
// as much again as the request's own instructions, and a split makes one request per draw.
// Returns what syscall() would: the count, or -1 with errno set.
long request_random_bytes(void* buffer, std::size_t length, unsigned int flags) noexcept {
#if defined(__x86_64__) && defined(__linux__)
    long result = SYS_getrandom;
    __asm__ __volatile__("syscall"
                         : "+a"(result)
                         : "D"(buffer), "S"(length), "d"(static_cast<unsigned long>(flags))
                         : "rcx", "r11", "memory");
    if (result < 0 && result > -4096) {
        errno = static_cast<int>(-result);
        return -1;
    }
    return result;
#else
    return ::syscall(SYS_getrandom, buffer, length, flags);
#endif
}

}  // namespace

const SystemCalls& kernel_system_calls() {
    static const SystemCalls calls{
        request_random_bytes,
        [](const char* path, int flags) -> int { return ::open(path, flags); },
        [](struct pollfd* fds, nfds_t count, int timeout_ms) -> int {
            return ::poll(fds, count, timeout_ms);
        },
        [](int fd, void* buffer, std::size_t length) -> ssize_t {
            return ::read(fd, buffer, length);
        },
        [](int fd) -> int { return ::close(fd); },
    };
    return calls;
}

bool error_text_is_utf8(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t continuation_count = 0;
        std::uint32_t code_point = 0;
        std::uint32_t smallest = 0;
        if ((lead & 0xE0) == 0xC0) {
            continuation_count = 1;
            code_point = lead & 0x1Fu;
            smallest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            continuation_count = 2;
            code_point = lead & 0x0Fu;
            smallest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            continuation_count = 3;
            code_point = lead & 0x07u;
            smallest = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i <= continuation_count) return false;
        for (std::size_t k = 1; k <= continuation_count; ++k) {
            const auto byte = static_cast<unsigned char>(text[i + k]);
            if ((byte & 0xC0) != 0x80) return false;
            code_point = (code_point << 6) | (byte & 0x3Fu);
        }
        // Overlong forms would let one character hide behind several spellings.
        if (code_point < smallest || code_point > 0x10FFFF) return false;
        if (code_point >= 0xD800 && code_point <= 0xDFFF) return false;
        i += continuation_count + 1;
    }
    return true;
}

std::string describe_entropy_error(std::uint32_t code) {
    if (code == entropy_error_no_errno) return "errno: did not return a positive value";
    if (code == entropy_error_unexpected) return "unexpected situation";
    // Other codes with the top bit set are not error numbers and would turn negative as an int.
    if (code <= static_cast<std::uint32_t>(INT_MAX)) {
        char buffer[error_text_capacity] = {};
        const char* text =
            strerror_result(::strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
        if (text != nullptr) {
            // A text that does not end within the buffer did not fit in it.
            const std::size_t length = ::strnlen(text, error_text_capacity);
            if (length < error_text_capacity) {
                const std::string_view view(text, length);
                if (error_text_is_utf8(view)) return std::string(view);
            }
        }
    }
    return "OS Error: " + std::to_string(code);
}

EntropySource::EntropySource(const SystemCalls& calls) : calls_(calls) {}

bool EntropySource::getrandom_available() {
    // Racing threads may both probe; they reach the same answer, so no lock is needed.
    int state = getrandom_availability_.load(std::memory_order_relaxed);
    if (state == unknown) {
        const long result = calls_.getrandom(nullptr, 0, 0);
        const int error = errno;
        // Only "no such call" and "refused by a filter" mean the call cannot be used; any other
        // failure of an empty request says nothing about whether real requests would work.
        const bool refused = result < 0 && (error == EPERM || error == ENOSYS);
        state = refused ? unavailable : available;
        getrandom_availability_.store(state, std::memory_order_relaxed);
    }
    return state == available;
}

int EntropySource::device_descriptor() {
    int fd = device_fd_.load(std::memory_order_acquire);
    if (fd >= 0) return fd;
    std::lock_guard<std::mutex> lock(open_mutex_);
    // Another thread may have opened the device while this one waited for the lock.
    fd = device_fd_.load(std::memory_order_acquire);
    if (fd >= 0) return fd;
    // Throws on failure, leaving nothing cached so that the next request tries again.
    fd = open_urandom_after_pool_ready(calls_);
    device_fd_.store(fd, std::memory_order_release);
    return fd;
}

void EntropySource::fill(std::uint8_t* data, std::size_t length) {
    if (length == 0) return;
    if (getrandom_available()) {
        // A draw of a few bytes is answered in full by its one request; only a short answer, an
        // interruption or an error goes on to the loop.
        const long first = calls_.getrandom(data, length, 0);
        if (first == static_cast<long>(length)) [[likely]]
            return;
        finish_with_getrandom(data, length, first);
        return;
    }
    const int fd = device_descriptor();
    fill_by_requests(data, length, 0, [this, fd](std::uint8_t* position, std::size_t remaining) {
        return static_cast<long>(calls_.read(fd, position, remaining));
    });
}

void EntropySource::finish_with_getrandom(std::uint8_t* data, std::size_t length, long first) {
    fill_by_requests(data, length, accepted_count(first, length),
                     [this](std::uint8_t* position, std::size_t remaining) {
                         return calls_.getrandom(position, remaining, 0);
                     });
}

EntropySource& process_entropy_source() {
    // Never destroyed: a draw made while the process exits must still find its source.
    static EntropySource* const source = new EntropySource(kernel_system_calls());
    return *source;
}

void fill_random(std::uint8_t* data, std::size_t length) {
    if (length == 0) return;
    process_entropy_source().fill(data, length);
}

}  // namespace varnhold
