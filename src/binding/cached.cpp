#include "binding/cached.hpp"

namespace varnhold::binding {
namespace {

constexpr const char panic_doc[] =
    "\n"
    "The exception raised when the native code of varnhold_core fails while it is called from "
    "Python.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* make_panic_class() {
    return PyErr_NewExceptionWithDoc("_varnhold_runtime.PanicException", panic_doc,
                                     PyExc_BaseException, nullptr);
}

PyObject* make_sequence_class() {
    PyRef module = PyRef::steal(PyImport_ImportModule("collections.abc"));
    if (!module) return nullptr;
    return PyObject_GetAttrString(module.get(), "Sequence");
}

CachedObject name_cache([] { return PyUnicode_InternFromString("__name__"); });
CachedObject qualname_cache([] { return PyUnicode_InternFromString("__qualname__"); });
CachedObject all_cache([] { return PyUnicode_InternFromString("__all__"); });
CachedObject sequence_cache(make_sequence_class);
CachedObject panic_cache(make_panic_class);

// Gives up the interpreter lock for the life of the value.
class InterpreterLockReleased {
public:
    InterpreterLockReleased() noexcept : saved_(PyEval_SaveThread()) {}
    ~InterpreterLockReleased() { PyEval_RestoreThread(saved_); }
    InterpreterLockReleased(const InterpreterLockReleased&) = delete;
    InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

private:
    PyThreadState* saved_;
};

}  // namespace

PyObject* CachedObject::get() {
    if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
    // Only this thread ever stores its own id here, so the test needs no lock. Waiting would
    // never end: the maker further up this thread's stack waits for this call to return.
    if (maker_.load(std::memory_order_acquire) == std::this_thread::get_id()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "varnhold_core was called again, on the same thread, while it was "
                        "setting up an object it keeps for later calls (for example by an import "
                        "hook); the inner call fails instead of waiting for itself");
        return nullptr;
    }
    // Another thread may be making the object and may need the interpreter lock to finish (an
    // import runs Python code), so wait for it without holding the lock. No thread ever waits
    // for the mutex while it holds the interpreter lock, so the two cannot deadlock.
    {
        const InterpreterLockReleased released;
        making_.lock();
    }
    const std::unique_lock lock(making_, std::adopt_lock);
    if (PyObject* value = value_.load(std::memory_order_acquire)) return value;

    maker_.store(std::this_thread::get_id(), std::memory_order_release);
    PyObject* made = nullptr;
    try {
        made = make_();
    } catch (...) {
        maker_.store(std::thread::id(), std::memory_order_release);
        throw;
    }
    maker_.store(std::thread::id(), std::memory_order_release);
    // A failure leaves nothing behind: the next use tries again.
    value_.store(made, std::memory_order_release);
    return made;
}

PyObject* interned_name() { return name_cache.get(); }
PyObject* interned_qualname() { return qualname_cache.get(); }
PyObject* interned_all() { return all_cache.get(); }
PyObject* sequence_class() { return sequence_cache.get(); }
PyObject* panic_class() { return panic_cache.get(); }
PyObject* panic_class_if_made() noexcept { return panic_cache.made_already(); }

}  // namespace varnhold::binding
