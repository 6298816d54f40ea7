#include "common/wipe.hpp"

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnhold {

void secure_wipe(void* data, std::size_t size) noexcept {
    // Volatile stores: the compiler must perform every one of them even though the memory is
    // about to be released. Whole aligned blocks where possible (two 16-byte stores a turn on
    // x86-64, four words elsewhere), words and then single bytes at the edges.
    auto* bytes = static_cast<volatile unsigned char*>(data);
    std::size_t i = 0;
    while (i < size &&
           (reinterpret_cast<std::uintptr_t>(bytes + i) % alignof(std::uint64_t)) != 0) {
        bytes[i++] = 0;
    }
#if defined(__SSE2__)
    if (i + 8 <= size && (reinterpret_cast<std::uintptr_t>(bytes + i) % 16) != 0) {
        *reinterpret_cast<volatile std::uint64_t*>(bytes + i) = 0;
        i += 8;
    }
    const __m128i zero = _mm_setzero_si128();
    for (; i + 32 <= size; i += 32) {
        *reinterpret_cast<volatile __m128i*>(bytes + i) = zero;
        *reinterpret_cast<volatile __m128i*>(bytes + i + 16) = zero;
    }
#else
    for (; i + 32 <= size; i += 32) {
        *reinterpret_cast<volatile std::uint64_t*>(bytes + i) = 0;
        *reinterpret_cast<volatile std::uint64_t*>(bytes + i + 8) = 0;
        *reinterpret_cast<volatile std::uint64_t*>(bytes + i + 16) = 0;
        *reinterpret_cast<volatile std::uint64_t*>(bytes + i + 24) = 0;
    }
#endif
    for (; i + sizeof(std::uint64_t) <= size; i += sizeof(std::uint64_t)) {
        *reinterpret_cast<volatile std::uint64_t*>(bytes + i) = 0;
    }
    for (; i < size; ++i) bytes[i] = 0;
    // Keep the stores ordered before whatever frees the memory.
    __asm__ __volatile__("" : : "r"(data) : "memory");
}

}  // namespace varnhold
