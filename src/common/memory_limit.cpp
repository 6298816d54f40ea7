#include "common/memory_limit.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>

#include "common/decimal.hpp"

namespace varnhold {
namespace {

// Reads a small /proc file into `buffer` (NUL-terminated); the length read, or nothing.
std::optional<std::size_t> read_proc_file(const char* path, char* buffer, std::size_t size) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::size_t used = 0;
    while (used + 1 < size) {
        const ssize_t got = ::read(fd, buffer + used, size - 1 - used);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        used += static_cast<std::size_t>(got);
    }
    ::close(fd);
    buffer[used] = '\0';
    return used;
}

// Parses the unsigned decimal number at the start of `text` after any spaces; advances `text`.
std::optional<std::uint64_t> take_number(std::string_view& text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    const DecimalPrefix read = read_decimal_prefix(text);
    if (read.length == 0) return std::nullopt;
    text.remove_prefix(read.length);
    constexpr std::uint64_t most = ~std::uint64_t{0};
    return read.overflow || read.value > most ? most : static_cast<std::uint64_t>(read.value);
}

// MemAvailable from /proc/meminfo, in bytes.
std::optional<std::uint64_t> kernel_available_bytes() {
    char buffer[4096];
    const std::optional<std::size_t> length =
        read_proc_file("/proc/meminfo", buffer, sizeof buffer);
    if (!length) return std::nullopt;
    std::string_view text(buffer, *length);
    constexpr std::string_view key = "MemAvailable:";
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        if (line.starts_with(key)) {
            line.remove_prefix(key.size());
            const std::optional<std::uint64_t> kib = take_number(line);
            if (!kib) return std::nullopt;
            return saturating_mul(*kib, 1024);
        }
        at = end + 1;
    }
    return std::nullopt;
}

// The address space and the data size (data and stack) in use now, from /proc/self/statm.
struct ProcessUsage {
    std::uint64_t address_space = 0;
    std::uint64_t data = 0;
};

std::optional<ProcessUsage> process_usage() {
    char buffer[256];
    const std::optional<std::size_t> length =
        read_proc_file("/proc/self/statm", buffer, sizeof buffer);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (!length || page_size <= 0) return std::nullopt;
    // Fields in pages: size resident shared text lib data dirty.
    std::string_view text(buffer, *length);
    std::uint64_t fields[6] = {};
    for (std::uint64_t& field : fields) {
        const std::optional<std::uint64_t> value = take_number(text);
        if (!value) return std::nullopt;
        field = *value;
    }
    const auto page = static_cast<std::uint64_t>(page_size);
    return ProcessUsage{saturating_mul(fields[0], page), saturating_mul(fields[5], page)};
}

// What is left under a soft resource limit, or nothing when it is unlimited or unreadable.
std::optional<std::uint64_t> limit_headroom(int resource, std::uint64_t in_use) {
    struct rlimit limit{};
    if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    const auto soft = static_cast<std::uint64_t>(limit.rlim_cur);
    return soft > in_use ? soft - in_use : 0;
}

}  // namespace

std::uint64_t physical_memory_bytes() noexcept {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return UINT64_MAX;
    return saturating_mul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size));
}

std::uint64_t obtainable_memory_bytes() noexcept {
    std::optional<std::uint64_t> best = kernel_available_bytes();
    const auto take = [&best](std::optional<std::uint64_t> bound) {
        if (bound) best = best ? std::min(*best, *bound) : *bound;
    };
    // Without the usage figures a limit cannot be turned into headroom; the limit itself is still
    // an upper bound.
    const std::optional<ProcessUsage> usage = process_usage();
    take(limit_headroom(RLIMIT_AS, usage ? usage->address_space : 0));
    take(limit_headroom(RLIMIT_DATA, usage ? usage->data : 0));
    return best ? *best : physical_memory_bytes();
}

void require_fits_in_memory(std::uint64_t bytes) {
    if (bytes < memory_check_threshold) return;
    if (bytes > obtainable_memory_bytes()) throw std::bad_alloc();
}

}  // namespace varnhold
