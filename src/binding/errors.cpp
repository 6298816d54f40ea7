#include "binding/errors.hpp"

#include "binding/cached.hpp"
#include "binding/utf8.hpp"

namespace varnhold::binding {
namespace {

[[noreturn]] void reraise_panic(PyError&& error) {
    std::string message = text_of(error.value.get(), default_panic_message);
    PySys_WriteStderr(
        "varnhold_core: a PanicException came back from Python code called by the module; "
        "raising it again\n");
    if (PyErr_GivenExceptionMatches(error.type.get(), PyExc_SystemExit)) {
        // Printing would end the process for a class that also derives from SystemExit.
        PyErr_Display(error.type.get(), error.value.get(), error.traceback.get());
    } else {
        error.restore();
        PyErr_PrintEx(0);
    }
    throw InternalFailure(message);
}

}  // namespace

std::string text_of(PyObject* object, std::string_view fallback) {
    PyRef text = PyRef::steal(PyObject_Str(object));
    PyRef utf8;
    const std::optional<std::string_view> view = text ? utf8_text(text.get(), utf8) : std::nullopt;
    if (!view) {
        PyErr_Clear();
        return std::string(fallback);
    }
    return std::string(*view);
}

void PyError::restore() noexcept {
    PyErr_Restore(type.release(), value.release(), traceback.release());
}

PyError fetch_error() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        // Nothing was pending although a call reported failure: never let that pass as success.
        type = PyExc_SystemError;
        Py_IncRef(type);
        value = PyUnicode_FromString("error return without exception set");
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    PyError error{PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
    PyObject* panic = panic_class_if_made();
    if (panic != nullptr && PyErr_GivenExceptionMatches(error.type.get(), panic)) {
        reraise_panic(std::move(error));
    }
    return error;
}

void raise_message(PyObject* type, std::string_view message) noexcept {
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
}

void raise_type_mismatch(PyObject* object, std::string_view expected_qualname) {
    if (object == Py_None) {
        raise_message(PyExc_TypeError,
                      "'None' is not an instance of '" + std::string(expected_qualname) + "'");
        return;
    }
    std::string type_name = "<failed to extract type name>";
    if (PyObject* qualname_key = interned_qualname()) {
        PyRef qualname = PyRef::steal(
            PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)), qualname_key));
        if (qualname && PyUnicode_Check(qualname.get())) {
            type_name = text_of(qualname.get(), type_name);
        } else if (!qualname) {
            fetch_error();  // dropped, unless it is a PanicException
        }
    } else {
        fetch_error();
    }
    raise_message(PyExc_TypeError, "'" + type_name + "' object is not an instance of '" +
                                       std::string(expected_qualname) + "'");
}

void raise_type_mismatch(PyObject* object, PyObject* expected_type) {
    PyObject* qualname_key = interned_qualname();
    if (qualname_key == nullptr) return;
    PyRef qualname = PyRef::steal(PyObject_GetAttr(expected_type, qualname_key));
    if (!qualname) return;
    raise_type_mismatch(object, text_of(qualname.get(), "<failed to extract type name>"));
}

void raise_sharing_error(const SharingError& error) noexcept {
    raise_message(PyExc_ValueError, error.message);
}

PyObject* argument_error(const char* name) {
    PyError inner = fetch_error();
    if (inner.type.get() != PyExc_TypeError) {
        inner.restore();
        return nullptr;
    }
    PyRef inner_text = PyRef::steal(PyObject_Str(inner.value.get()));
    if (!inner_text) {
        fetch_error().restore();
        return nullptr;
    }
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, inner_text.get()));
    if (!message) return nullptr;
    PyRef outer =
        PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!outer) return nullptr;
    // The new exception takes over the inner one's cause (or none); this also sets
    // __suppress_context__, so the inner exception, which is dropped, is not shown.
    PyException_SetCause(outer.get(), PyException_GetCause(inner.value.get()));
    PyError replacement{PyRef::borrow(PyExc_TypeError), std::move(outer), PyRef()};
    replacement.restore();
    return nullptr;
}

void raise_panic(std::string_view message) noexcept {
    try {
        if (PyObject* panic = panic_class()) raise_message(panic, message);
    } catch (...) {
        PyErr_NoMemory();
    }
    if (PyErr_Occurred() == nullptr) PyErr_NoMemory();
}

void object_creation_failed() {
    PyErr_WriteUnraisable(nullptr);
    throw InternalFailure("PyObject pointer is null");
}

}  // namespace varnhold::binding
