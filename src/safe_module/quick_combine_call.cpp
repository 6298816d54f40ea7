#include "safe_module/quick_combine_call.hpp"

#include <array>
#include <optional>
#include <string_view>

#include "binding/convert.hpp"
#include "binding/utf8.hpp"
#include "safe/envelope.hpp"
#include "safe/quick_combine.hpp"

namespace varnhold::binding {
namespace {

// k as the quick path takes it (0: not given), or nothing when the full reading must judge it.
std::optional<std::uint64_t> quick_k(PyObject* k) {
    if (k == Py_None) return 0;
    if (!PyLong_CheckExact(k)) return std::nullopt;
    const long long value = PyLong_AsLongLong(k);
    if (value == -1 && PyErr_Occurred() != nullptr) PyErr_Clear();
    if (value < 2 || value > static_cast<long long>(envelope_max_k)) return std::nullopt;
    return static_cast<std::uint64_t>(value);
}

}  // namespace

PyObject* quick_combine_call(PyObject* shares, PyObject* k) {
    if (!PyList_CheckExact(shares)) return nullptr;
    const std::optional<std::uint64_t> k_given = quick_k(k);
    if (!k_given) return nullptr;
    const Py_ssize_t size = PyList_Size(shares);
    if (size < 2 || size > static_cast<Py_ssize_t>(quick_combine_limit)) return nullptr;
    std::array<PyRef, quick_combine_limit> owners;
    std::array<std::string_view, quick_combine_limit> views;
    const auto m = static_cast<std::size_t>(size);
    for (std::size_t i = 0; i < m; ++i) {
        PyObject* const item = PyList_GetItem(shares, static_cast<Py_ssize_t>(i));
        if (item == nullptr || !PyUnicode_Check(item)) {
            PyErr_Clear();
            return nullptr;
        }
        const std::optional<std::string_view> view = utf8_text(item, owners[i]);
        if (!view) {
            PyErr_Clear();
            return nullptr;
        }
        views[i] = *view;
    }
    SecretBytes bytes;
    if (!quick_combine({views.data(), m}, *k_given, bytes)) return nullptr;
    return make_bytes(bytes);
}

}  // namespace varnhold::binding
