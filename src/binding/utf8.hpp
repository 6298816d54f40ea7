#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "binding/py_ref.hpp"

namespace varnhold::binding {

// The UTF-8 text of a str object. `owner` receives what the view points into, which must outlive
// the view: the str object itself where the interpreter lends its text (an ASCII str's own
// characters, from Python 3.10 on), else a new bytes object holding a copy. Nothing, with the
// Python error pending, when the text has no UTF-8 form (a lone surrogate).
std::optional<std::string_view> utf8_text(PyObject* text, PyRef& owner);

}  // namespace varnhold::binding
