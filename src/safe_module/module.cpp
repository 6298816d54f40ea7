// The module varnhold._native: the safe layer's operations for the package varnhold, which
// defines the public functions and types and calls one entry here per call. It shares the core
// and the binding layer with varnhold_core and is initialised the same way (multi-phase).

#include "binding/entry.hpp"
#include "binding/interrupt.hpp"
#include "safe/envelope.hpp"
#include "safe_module/entries.hpp"

namespace varnhold::binding {
namespace {

constexpr int keyword_flags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef method_table[] = {
    {"split", as_cfunction(split_entry), keyword_flags,
     "split(secret, k, n, scheme)\n--\n\nvarnhold.split, its arguments checked here."},
    {"check", as_cfunction(check_entry), keyword_flags,
     "check(shares, k)\n--\n\nvarnhold.check, its arguments checked here."},
    {"combine", as_cfunction(combine_entry), keyword_flags,
     "combine(shares, k, unchecked)\n--\n\nvarnhold.combine, its arguments checked here."},
    {"new_share", as_cfunction(new_share_entry), keyword_flags,
     "new_share(shares, k, index, unchecked)\n--\n\nvarnhold.new_share, its arguments checked "
     "here."},
    {"refresh", as_cfunction(refresh_entry), keyword_flags,
     "refresh(shares, k, unchecked)\n--\n\nvarnhold.refresh, its arguments checked here."},
    {"reshare", as_cfunction(reshare_entry), keyword_flags,
     "reshare(shares, k, n, scheme)\n--\n\nvarnhold.reshare, its arguments checked here."},
    {"random_source", as_cfunction(random_source_entry), METH_NOARGS,
     "random_source()\n--\n\nWhere the random bytes come from now: \"vdso\" or \"system call\"."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) {
    return boundary_call(
        [module] {
            if (PyModule_AddFunctions(module, method_table) != 0) return -1;
            // The share limit, written once: the package reads it from here.
            if (PyModule_AddIntConstant(module, "max_shares", static_cast<long>(envelope_max_k)) !=
                0) {
                return -1;
            }
            install_interrupt_check();
            return 0;
        },
        -1);
}

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(module_exec)},
                                   {0, nullptr}};

// No per-module state; the exec step adds the functions.
PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "varnhold._native",
    .m_doc = "The native operations of the safe layer; use the package varnhold instead.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace varnhold::binding

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&varnhold::binding::module_definition); }
