// The module varnhold_core: its definition, the method table and the five entry points. Each
// entry binds its arguments, converts them in parameter order, runs the scheme and turns the
// outcome into a Python result or exception, all inside boundary_call.

#include <span>
#include <string>

#include "binding/cached.hpp"
#include "binding/entry.hpp"
#include "binding/interrupt.hpp"
#include "blakley/blakley.hpp"
#include "random/entropy_source.hpp"
#include "shamir/shamir.hpp"

namespace varnhold::binding {
namespace {

constexpr Signature shamir_split_signature{"shamir_split", 3, {"secret", "k", "n"}};
constexpr Signature shamir_combine_signature{"shamir_combine", 2, {"shares", "k"}};
constexpr Signature blakley_split_signature{"blakley_split", 3, {"secret", "k", "n"}};
constexpr Signature blakley_combine_signature{"blakley_combine", 2, {"shares", "k"}};

using SplitScheme = Result<void> (*)(std::string_view, std::uint64_t, std::uint64_t, ByteSource&,
                                     ShareWriter&);
using CombineScheme = Result<SecretBytes> (*)(std::span<const std::string_view>, std::uint64_t);

// The body of both splits: they differ only in their signature and scheme.
template <const Signature& signature, SplitScheme split>
PyObject* split_body(PyObject* args, PyObject* kwargs) {
    SplitArguments arguments;
    if (!bind_split_arguments(signature, args, kwargs, arguments)) return nullptr;
    PyListShareWriter shares;
    if (Result<void> done =
            split(arguments.secret, arguments.k, arguments.n, process_entropy_source(), shares);
        !done) {
        raise_sharing_error(done.error());
        return nullptr;
    }
    return shares.release();
}

// The body of both combines.
template <const Signature& signature, CombineScheme combine>
PyObject* combine_body(PyObject* args, PyObject* kwargs) {
    SharesArguments arguments;
    if (!bind_shares_arguments(signature, args, kwargs, arguments)) return nullptr;
    const Result<SecretBytes> secret = combine(arguments.shares.views, arguments.k);
    if (!secret) {
        raise_sharing_error(secret.error());
        return nullptr;
    }
    // The result buffer is wiped by its owner as soon as the bytes object exists, or failed to.
    return make_bytes(*secret);
}

PyObject* generate_key_entry(PyObject*, PyObject*) {
    return boundary_call(
        [] {
            SecretBytes key;
            fill_random(key.bytes.data(), key.bytes.size());
            return make_bytes(key);
        },
        static_cast<PyObject*>(nullptr));
}

constexpr int keyword_flags = METH_VARARGS | METH_KEYWORDS | METH_STATIC;

PyMethodDef method_table[] = {
    {"generate_key", as_cfunction(generate_key_entry), METH_NOARGS | METH_STATIC,
     "generate_key()\n--\n\n"},
    {"shamir_split", as_cfunction(keyword_entry<split_body<shamir_split_signature, shamir_split>>),
     keyword_flags, "shamir_split(secret, k, n)\n--\n\n"},
    {"shamir_combine",
     as_cfunction(keyword_entry<combine_body<shamir_combine_signature, shamir_combine>>),
     keyword_flags, "shamir_combine(shares, k)\n--\n\n"},
    {"blakley_split",
     as_cfunction(keyword_entry<split_body<blakley_split_signature, blakley_split>>), keyword_flags,
     "blakley_split(secret, k, n)\n--\n\n"},
    {"blakley_combine",
     as_cfunction(keyword_entry<combine_body<blakley_combine_signature, blakley_combine>>),
     keyword_flags, "blakley_combine(shares, k)\n--\n\n"},
};

// Makes one function object, appends its name to __all__ and sets it on the module. Fails by
// returning false with a Python exception set.
bool register_function(PyObject* module, PyMethodDef* entry) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    PyRef function = PyRef::steal(PyCMethod_New(entry, module, module_name.get(), nullptr));
    module_name.reset();
    if (!function) return false;

    PyObject* name_key = interned_name();
    if (name_key == nullptr) return false;
    PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), name_key));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        raise_type_mismatch(name.get(), "str");
        return false;
    }

    PyObject* all_key = interned_all();
    if (all_key == nullptr) return false;
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_key));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_key, all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        raise_type_mismatch(all.get(), "list");
        return false;
    }
    if (PyList_Append(all.get(), name.get()) < 0) {
        // The one internal failure of the exec step: it ends as PanicException.
        const PyError error = fetch_error();
        raise_panic("could not append __name__ to __all__: " +
                    text_of(error.value.get(), "unknown error"));
        return false;
    }
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

int module_exec(PyObject* module) {
    return boundary_call(
        [module] {
            if (!PyModule_Check(module)) {
                raise_type_mismatch(module, "module");
                return -1;
            }
            for (PyMethodDef& entry : method_table) {
                if (!register_function(module, &entry)) return -1;
            }
            install_interrupt_check();
            return 0;
        },
        -1);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "varnhold_core",  // m_name
    "",               // m_doc: an empty string, not None
    0,                // m_size: no per-module state
    nullptr,          // m_methods: the exec step adds the functions
    module_slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace
}  // namespace varnhold::binding

PyMODINIT_FUNC PyInit_varnhold_core() {
    return PyModuleDef_Init(&varnhold::binding::module_definition);
}
