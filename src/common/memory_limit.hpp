#pragma once

#include <cstdint>

namespace varnhold {

// Bytes of physical memory of this machine (never 0: an unreadable answer counts as unlimited).
std::uint64_t physical_memory_bytes() noexcept;

// Throws std::bad_alloc when `bytes` (already computed without overflow; UINT64_MAX stands for
// "more than 64 bits can count") can never be held by this machine. Callers use it for outputs
// and work buffers whose size the arguments choose, so that an impossible request fails at once
// instead of running for hours or being killed by the kernel halfway through.
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
