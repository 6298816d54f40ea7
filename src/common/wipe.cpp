#include "common/wipe.hpp"

#include <cstdint>

namespace varnhold {

void secure_wipe(void* data, std::size_t size) noexcept {
    // Volatile stores: the compiler must perform every one of them even though the memory is
    // about to be released. Whole aligned words where possible, single bytes at the edges.
    auto* bytes = static_cast<volatile unsigned char*>(data);
    std::size_t i = 0;
    while (i < size &&
           (reinterpret_cast<std::uintptr_t>(bytes + i) % alignof(std::uint64_t)) != 0) {
        bytes[i++] = 0;
    }
    for (; i + sizeof(std::uint64_t) <= size; i += sizeof(std::uint64_t)) {
        *reinterpret_cast<volatile std::uint64_t*>(bytes + i) = 0;
    }
    for (; i < size; ++i) bytes[i] = 0;
    // Keep the stores ordered before whatever frees the memory.
    __asm__ __volatile__("" : : "r"(data) : "memory");
}

}  // namespace varnhold
