#include "common/wipe.hpp"

namespace varnhold {

void secure_wipe(void* data, std::size_t size) noexcept {
    // Volatile stores, one byte at a time: the compiler must perform every one of them even
    // though the memory is about to be released.
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
    // Keep the stores ordered before whatever frees the memory.
    __asm__ __volatile__("" : : "r"(data) : "memory");
}

}  // namespace varnhold
