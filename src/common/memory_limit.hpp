#pragma once

#include <cstdint>

namespace varnhold {

// Bytes of physical memory of this machine (never 0: an unreadable answer counts as unlimited).
std::uint64_t physical_memory_bytes() noexcept;

// Bytes this process can still obtain right now: the smaller of what the kernel reports as
// available (MemAvailable) and the headroom left under the process's address-space and data
// limits. Unlimited or unreadable sources do not count; if none can be read the answer is
// physical_memory_bytes(). Costs a few system calls.
std::uint64_t obtainable_memory_bytes() noexcept;

// Below this size a request is not worth a question to the kernel: it is answered by the
// allocator itself, which throws std::bad_alloc when it cannot serve it.
inline constexpr std::uint64_t memory_check_threshold = std::uint64_t{32} << 20;

// Throws std::bad_alloc when `bytes` (already computed without overflow; UINT64_MAX stands for
// "more than 64 bits can count") cannot be obtained by this process. Callers use it for outputs
// and work buffers whose size the request itself forces, so that an impossible request fails at
// once instead of running for hours or being killed by the kernel halfway through. Sizes below
// memory_check_threshold make no system call.
void require_fits_in_memory(std::uint64_t bytes);

// a * b, or UINT64_MAX when the product does not fit in 64 bits.
constexpr std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

}  // namespace varnhold
