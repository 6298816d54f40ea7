#pragma once

#include "binding/py_ref.hpp"

namespace varnhold::binding {

// combine's common case in one step: `shares` exactly a list of str, `k` None or exactly an int
// from 2 to envelope_max_k, and the shares exactly k of one set that rebuild a genuine secret.
// The secret as bytes; else null, with no error pending when the call needs the full reading
// (which repeats what was read here and raises whatever it raises).
PyObject* quick_combine_call(PyObject* shares, PyObject* k);

}  // namespace varnhold::binding
