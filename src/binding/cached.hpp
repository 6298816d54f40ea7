#pragma once

#include <atomic>
#include <mutex>

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
    // next use). The interpreter lock must be held.
    PyObject* get();

    // The object if it has been made already, else null; never makes it and never blocks.
    PyObject* made_already() const noexcept { return value_.load(std::memory_order_acquire); }

private:
    Make make_;
    std::once_flag once_;
    std::atomic<PyObject*> value_{nullptr};
};

PyObject* interned_name();      // "__name__"
PyObject* interned_qualname();  // "__qualname__"
PyObject* interned_all();       // "__all__"
PyObject* sequence_class();     // collections.abc.Sequence
PyObject* panic_class();        // PanicException
PyObject* panic_class_if_made() noexcept;

}  // namespace varnhold::binding
