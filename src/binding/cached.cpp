#include "binding/cached.hpp"

namespace varnhold::binding {
namespace {

struct MakeFailed {};

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

}  // namespace

PyObject* CachedObject::get() {
    if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
    // Another thread may be making the object and may need the interpreter lock to finish (an
    // import runs Python code), so wait for it without holding the lock; the maker itself runs
    // with the lock held again.
    PyThreadState* saved = PyEval_SaveThread();
    bool holds_lock = false;
    bool failed = false;
    try {
        std::call_once(once_, [&] {
            PyEval_RestoreThread(saved);
            holds_lock = true;
            PyObject* made = make_();
            if (made == nullptr) throw MakeFailed{};
            value_.store(made, std::memory_order_release);
        });
    } catch (const MakeFailed&) {
        failed = true;
    } catch (...) {
        if (!holds_lock) PyEval_RestoreThread(saved);
        throw;
    }
    if (!holds_lock) PyEval_RestoreThread(saved);
    return failed ? nullptr : value_.load(std::memory_order_acquire);
}

PyObject* interned_name() { return name_cache.get(); }
PyObject* interned_qualname() { return qualname_cache.get(); }
PyObject* interned_all() { return all_cache.get(); }
PyObject* sequence_class() { return sequence_cache.get(); }
PyObject* panic_class() { return panic_cache.get(); }
PyObject* panic_class_if_made() noexcept { return panic_cache.made_already(); }

}  // namespace varnhold::binding
