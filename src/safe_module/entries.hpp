#pragma once

#include "binding/py_ref.hpp"

// The entry points of varnhold._native, one per function of the package varnhold, each called by
// that function with its arguments unchanged (bound by position or keyword).
namespace varnhold::binding {

// split(secret, k, n, scheme) -> list of envelope shares
PyObject* split_entry(PyObject* self, PyObject* args, PyObject* kwargs);
// check(shares, k) -> ShareReport
PyObject* check_entry(PyObject* self, PyObject* args, PyObject* kwargs);
// combine(shares, k) -> the secret; raises ShareError unless every share agrees
PyObject* combine_entry(PyObject* self, PyObject* args, PyObject* kwargs);
// new_share(shares, k, index) -> a share of the same set
PyObject* new_share_entry(PyObject* self, PyObject* args, PyObject* kwargs);
// refresh(shares, k) -> new shares of the same secret
PyObject* refresh_entry(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* reshare_entry(PyObject* self, PyObject* args, PyObject* kwargs);
// random_source() -> "vdso" or "system call": where the split's random bytes come from now
PyObject* random_source_entry(PyObject* self, PyObject* unused);

}  // namespace varnhold::binding
