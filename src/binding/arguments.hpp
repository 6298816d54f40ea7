#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "binding/py_ref.hpp"

namespace varnhold::binding {

inline constexpr std::size_t max_parameters = 4;

// The signature of one function: its name and parameters, all required, each by position or
// by keyword.
struct Signature {
    const char* function_name;
    std::size_t count;
    std::array<const char*, max_parameters> names;
};

// One reference per parameter. Binding only borrows from the caller's tuple and dictionary; each
// slot then holds a reference of its own, so that code run while converting one argument (a
// caller's __index__, say) cannot free another.
struct BoundArguments {
    std::array<PyRef, max_parameters> slots;
    PyObject* operator[](std::size_t i) const noexcept { return slots[i].get(); }
};

// Fills `bound` from args (never null) and kwargs (may be null). On failure raises TypeError with
// the interpreter-style message and returns false; nothing has been converted by then.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    BoundArguments& bound);

}  // namespace varnhold::binding
