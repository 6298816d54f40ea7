#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "binding/py_ref.hpp"

namespace varnhold::binding {

// The UTF-8 text of a str object. `owner` receives the bytes object the view points into, which
// must outlive the view. Nothing, with the Python error pending, when the text has no UTF-8 form
// (a lone surrogate).
inline std::optional<std::string_view> utf8_text(PyObject* text, PyRef& owner) {
    owner = PyRef::steal(PyUnicode_AsUTF8String(text));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!owner || PyBytes_AsStringAndSize(owner.get(), &data, &size) < 0) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

}  // namespace varnhold::binding
