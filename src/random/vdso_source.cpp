#include "random/vdso_source.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include "random/entropy_source.hpp"
#include "random/vdso_symbol.hpp"

namespace varnhold {
namespace {

// What the function reports about its state when asked with no buffer, no length, no flags and
// a state length of all ones.
struct OpaqueParameters {
    std::uint32_t size_of_opaque_state;
    std::uint32_t mmap_prot;
    std::uint32_t mmap_flags;
    std::uint32_t reserved[13];
};

constexpr std::size_t parameters_request = ~std::size_t{0};

VdsoGetrandom find_kernel_getrandom() {
#if defined(__x86_64__) && defined(__linux__)
    return reinterpret_cast<VdsoGetrandom>(
        vdso_function(vdso_image(), "LINUX_2.6", "__vdso_getrandom"));
#else
    return nullptr;
#endif
}

}  // namespace

const VdsoCalls& kernel_vdso_calls() {
    static const VdsoCalls calls{
        find_kernel_getrandom,
        [](std::size_t length, int protection, int flags) -> void* {
            void* address = ::mmap(nullptr, length, protection, flags, -1, 0);
            return address == MAP_FAILED ? nullptr : address;
        },
        [](void* address, std::size_t length) { ::munmap(address, length); },
        []() -> std::size_t { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); },
    };
    return calls;
}

VdsoEntropySource::VdsoEntropySource(const VdsoCalls& calls, ByteSource& fallback)
    : calls_(calls), fallback_(fallback) {}

VdsoEntropySource::~VdsoEntropySource() {
    if (state_ != nullptr) calls_.unmap(state_, mapped_length_);
}

void VdsoEntropySource::prepare() noexcept {
    const VdsoGetrandom function = calls_.find_getrandom();
    if (function == nullptr) return;
    OpaqueParameters parameters{};
    if (function(nullptr, 0, 0, &parameters, parameters_request) != 0) return;
    // The state must lie within one page (one that crosses a boundary gets EFAULT), so it gets
    // a page of its own; a state larger than a page cannot be kept.
    const std::size_t page = calls_.page_size();
    if (parameters.size_of_opaque_state == 0 || parameters.size_of_opaque_state > page) return;
    // The kernel's protection and flags: the page is dropped under memory pressure and wiped in
    // a child after fork, and the function notices both and rekeys.
    void* state = calls_.map(page, static_cast<int>(parameters.mmap_prot),
                             static_cast<int>(parameters.mmap_flags));
    if (state == nullptr) return;
    getrandom_ = function;
    state_ = state;
    state_length_ = parameters.size_of_opaque_state;
    mapped_length_ = page;
    usable_.store(true, std::memory_order_release);
}

void VdsoEntropySource::fill(std::uint8_t* data, std::size_t length) {
    if (length == 0) return;
    std::call_once(prepared_, [this] { prepare(); });
    if (usable_.load(std::memory_order_acquire) && !busy_.test_and_set(std::memory_order_acquire)) {
        const long result = getrandom_(data, length, 0, state_, state_length_);
        busy_.clear(std::memory_order_release);
        if (result == static_cast<long>(length)) [[likely]]
            return;
        // A very large request is answered in part; the system call serves the rest.
        if (result > 0 && static_cast<std::size_t>(result) < length) {
            fallback_.fill(data + result, length - static_cast<std::size_t>(result));
            return;
        }
        // An error (the function's own system call refused, a broken state): the system call
        // from now on, which reports the error itself if it persists.
        usable_.store(false, std::memory_order_release);
    }
    fallback_.fill(data, length);
}

VdsoEntropySource& process_vdso_source() {
    // Never destroyed, like the source it falls back to.
    static VdsoEntropySource* const source =
        new VdsoEntropySource(kernel_vdso_calls(), process_entropy_source());
    return *source;
}

}  // namespace varnhold
