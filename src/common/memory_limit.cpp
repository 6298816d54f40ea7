#include "common/memory_limit.hpp"

#include <unistd.h>

#include <new>

namespace varnhold {

std::uint64_t physical_memory_bytes() noexcept {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return UINT64_MAX;
    return saturating_mul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size));
}

void require_fits_in_memory(std::uint64_t bytes) {
    if (bytes > physical_memory_bytes()) throw std::bad_alloc();
}

}  // namespace varnhold
