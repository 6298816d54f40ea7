#include "binding/arguments.hpp"

#include <cstring>
#include <string>

#include "binding/errors.hpp"
#include "binding/utf8.hpp"

namespace varnhold::binding {
namespace {

std::string function_text(const Signature& signature) {
    return std::string(signature.function_name) + "()";
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::array<const char*, max_parameters>& names, std::size_t count) {
    std::string list;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) list += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        list += '\'';
        list += names[i];
        list += '\'';
    }
    return list;
}

// The parameter whose name is the key's UTF-8 text, or -1 (also for keys that are not str or
// have no UTF-8 form).
int parameter_of(const Signature& signature, PyObject* key) {
    if (!PyUnicode_Check(key)) return -1;
    PyRef utf8;
    const std::optional<std::string_view> text = utf8_text(key, utf8);
    if (!text) {
        PyErr_Clear();
        return -1;
    }
    for (std::size_t i = 0; i < signature.count; ++i) {
        if (*text == signature.names[i]) return static_cast<int>(i);
    }
    return -1;
}

bool unexpected_keyword(const Signature& signature, PyObject* key) {
    PyRef text = PyRef::steal(PyObject_Str(key));
    if (!text) return false;
    PyRef message = PyRef::steal(PyUnicode_FromFormat(
        "%s() got an unexpected keyword argument '%U'", signature.function_name, text.get()));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return false;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    BoundArguments& bound) {
    const Py_ssize_t given_count = PyTuple_Size(args);
    if (given_count < 0) return false;
    const std::size_t given = static_cast<std::size_t>(given_count);
    if (given > signature.count) {
        raise_message(PyExc_TypeError, function_text(signature) + " takes " +
                                           std::to_string(signature.count) +
                                           " positional arguments but " + std::to_string(given) +
                                           (given == 1 ? " was" : " were") + " given");
        return false;
    }
    std::array<PyObject*, max_parameters> borrowed{};
    for (std::size_t i = 0; i < given; ++i) {
        borrowed[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    }

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            const int parameter = parameter_of(signature, key);
            if (parameter < 0) return unexpected_keyword(signature, key);
            const std::size_t slot = static_cast<std::size_t>(parameter);
            if (borrowed[slot] != nullptr) {
                raise_message(PyExc_TypeError, function_text(signature) +
                                                   " got multiple values for argument '" +
                                                   signature.names[slot] + "'");
                return false;
            }
            borrowed[slot] = value;
        }
    }

    std::array<const char*, max_parameters> missing{};
    std::size_t missing_count = 0;
    for (std::size_t i = 0; i < signature.count; ++i) {
        if (borrowed[i] == nullptr) missing[missing_count++] = signature.names[i];
    }
    if (missing_count > 0) {
        raise_message(PyExc_TypeError, function_text(signature) + " missing " +
                                           std::to_string(missing_count) + " required positional " +
                                           (missing_count == 1 ? "argument" : "arguments") + ": " +
                                           quoted_list(missing, missing_count));
        return false;
    }
    for (std::size_t i = 0; i < signature.count; ++i) bound.slots[i] = PyRef::borrow(borrowed[i]);
    return true;
}

}  // namespace varnhold::binding
