#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "random/byte_source.hpp"

namespace varnhold {

// The kernel's getrandom served in user space (Linux 6.11 and later): the kernel's ChaCha20
// generator run by the vDSO with keys from the kernel, in an opaque state the caller maps.
// Returns what the system call would return: the count, or a negated error number.
using VdsoGetrandom = long (*)(void* buffer, std::size_t length, unsigned int flags, void* state,
                               std::size_t state_length);

// What the vDSO source asks of the system, behind one seam so that tests can hide the function,
// refuse the mapping or script the function's answers.
struct VdsoCalls {
    // __vdso_getrandom of the running kernel, or null.
    VdsoGetrandom (*find_getrandom)();
    // An anonymous mapping of `length` bytes at a page boundary, or null.
    void* (*map)(std::size_t length, int protection, int flags);
    void (*unmap)(void* address, std::size_t length);
    std::size_t (*page_size)();
};

const VdsoCalls& kernel_vdso_calls();

// Random bytes from the vDSO where the kernel offers them, from `fallback` (the getrandom system
// call) otherwise: on older kernels, without the function, when its state cannot be mapped, and
// for good after any error of the function. The vDSO itself still makes the system call on a
// state's first use, in a child after a fork (the state's page is wiped in the child) and after
// the kernel reseeds. Valgrind gives a program no vDSO, so under memcheck and the constant-flow
// check every request takes the fallback.
//
// One state serves every thread. A state must never be used by two calls at once; a call that
// finds it in use takes the fallback for that request. Under the interpreter lock that never
// happens: varnhold._native never releases the lock while a call draws (a draw is one call
// into the vDSO, with no Python code inside it), and a stable-ABI 3.9 module cannot be loaded
// into a sub-interpreter with a lock of its own, so one lock orders every use. The flag only keeps
// callers outside the interpreter (the C++ tests) correct.
class VdsoEntropySource final : public ByteSource {
public:
    VdsoEntropySource(const VdsoCalls& calls, ByteSource& fallback);
    VdsoEntropySource(const VdsoEntropySource&) = delete;
    VdsoEntropySource& operator=(const VdsoEntropySource&) = delete;
    ~VdsoEntropySource() override;

    void fill(std::uint8_t* data, std::size_t length) override;

    // Whether requests go to the vDSO: its state is mapped and the function has never failed.
    // Decided on the first request; false before it.
    bool uses_vdso() const noexcept { return usable_.load(std::memory_order_acquire); }

private:
    void prepare() noexcept;

    const VdsoCalls& calls_;
    ByteSource& fallback_;
    std::once_flag prepared_;
    std::atomic<bool> usable_{false};
    std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
    VdsoGetrandom getrandom_ = nullptr;
    void* state_ = nullptr;
    std::size_t state_length_ = 0;
    std::size_t mapped_length_ = 0;
};

// The safe layer's process-wide source over the real kernel (falling back to
// process_entropy_source), made on first use and never destroyed.
VdsoEntropySource& process_vdso_source();

}  // namespace varnhold
