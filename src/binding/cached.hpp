#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "binding/py_ref.hpp"

namespace varnhold::binding {

// A process-wide object made on first use and kept for the life of the process.
class CachedObject {
public:
    // Returns a new reference, or null with a Python exception set.
    using Make = PyObject* (*)();

    explicit CachedObject(Make make) noexcept : make_(make) {}
    CachedObject(const CachedObject&) = delete;
    CachedObject& operator=(const CachedObject&) = delete;

    // Borrowed; null with a Python exception set when making it failed (it is tried again on the
    // next use), or when the maker, while running, led back into get() on the same thread (an
    // import hook calling the module): that inner use fails with RuntimeError instead of waiting
    // for itself. The interpreter lock must be held.
    PyObject* get();

    // The object if it has been made already, else null; never makes it and never blocks.
    PyObject* made_already() const noexcept { return value_.load(std::memory_order_acquire); }

private:
    Make make_;
    // Held by the thread making the object for as long as that takes; other threads wait on it
    // without the interpreter lock.
    std::mutex making_;
    // The thread running make_, or no thread.
    std::atomic<std::thread::id> maker_{};
    std::atomic<PyObject*> value_{nullptr};
};

PyObject* interned_name();      // "__name__"
PyObject* interned_qualname();  // "__qualname__"
PyObject* interned_all();       // "__all__"
PyObject* sequence_class();     // collections.abc.Sequence
PyObject* panic_class();        // PanicException
PyObject* panic_class_if_made() noexcept;

}  // namespace varnhold::binding
