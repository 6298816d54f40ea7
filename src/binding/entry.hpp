#pragma once

#include <cstdint>
#include <string_view>

#include "binding/arguments.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"

namespace varnhold::binding {

// The arguments of a split, (secret, k, n), converted in parameter order.
struct SplitArguments {
    BoundArguments bound;
    std::string_view secret;  // points into bound[0]
    std::uint64_t k = 0;
    std::uint64_t n = 0;
};

// The arguments of an operation on a list of shares, (shares, k, ...), the first two converted
// in parameter order; any further ones are only bound.
struct SharesArguments {
    BoundArguments bound;
    ShareTexts shares;
    std::uint64_t k = 0;
};

// Each binds and converts; on failure returns false with the Python error pending, the
// conversion errors already rewritten by argument_error.
bool bind_split_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                          SplitArguments& out);
bool bind_shares_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                           SharesArguments& out);
// The conversion steps alone, for arguments already bound into out.bound.
bool convert_split_arguments(SplitArguments& out);
bool convert_shares_arguments(SharesArguments& out);

// The entry point of a function taking positional and keyword arguments: runs Body inside
// boundary_call, so that no C++ exception reaches the interpreter.
template <PyObject* (*Body)(PyObject* args, PyObject* kwargs)>
PyObject* keyword_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return boundary_call([&] { return Body(args, kwargs); }, static_cast<PyObject*>(nullptr));
}

// The same for a function made at run time around an object it keeps as its self.
template <PyObject* (*Body)(PyObject* self, PyObject* args, PyObject* kwargs)>
PyObject* bound_keyword_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary_call([&] { return Body(self, args, kwargs); }, static_cast<PyObject*>(nullptr));
}

// A method table stores every entry as a PyCFunction; the interpreter casts it back to the type
// its flags announce before calling it, and only calling through a wrong type would be undefined.
// The direct cast draws -Wcast-function-type; the detour through void (*)(), which that warning
// exempts, only silences it and changes nothing else.
template <class Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace varnhold::binding
