#pragma once

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "binding/py_ref.hpp"
#include "common/internal_failure.hpp"
#include "common/result.hpp"

namespace varnhold::binding {

inline constexpr const char* default_panic_message = "varnhold_core failed in its native code";

// Thrown from deep inside a call (through a scheme) when a Python exception is already set and
// the call must end with it, such as a KeyboardInterrupt raised by a signal handler.
struct PythonErrorPending {};

// A Python exception taken off the thread's error indicator, normalised.
struct PyError {
    PyRef type;
    PyRef value;
    PyRef traceback;

    // Puts it back as the thread's current exception.
    void restore() noexcept;
};

// Takes the pending exception. A PanicException that comes back from the caller's code is never
// treated as an ordinary error: it is reported on stderr and the call ends as an internal failure
// with the same message (this throws InternalFailure).
PyError fetch_error();

// str(object) as UTF-8, or `fallback` when that cannot be had (the error is cleared).
std::string text_of(PyObject* object, std::string_view fallback);

// Sets `type` with a message built from UTF-8 text (embedded zero bytes kept).
void raise_message(PyObject* type, std::string_view message) noexcept;

// The conversion failure for an object that is not an instance of the expected type.
void raise_type_mismatch(PyObject* object, std::string_view expected_qualname);
void raise_type_mismatch(PyObject* object, PyObject* expected_type);

// A scheme's SharingError ends the call as ValueError with exactly its message.
void raise_sharing_error(const SharingError& error) noexcept;

// Rewrites the pending conversion error of parameter `name`: an exact TypeError gets the
// "argument '{}': " prefix; every other error passes unchanged. Unlike the raise_* functions,
// which set an exception and return nothing, it returns null, the value an entry point that
// fails hands back, because every caller returns it at once.
PyObject* argument_error(const char* name);

// Sets a PanicException carrying `message` (or whatever error making it raised).
void raise_panic(std::string_view message) noexcept;

// A result object could not be made: report the interpreter's error as unraisable and fail.
[[noreturn]] void object_creation_failed();

// Runs an entry point's body: its result or pending exception goes to the interpreter as it is;
// an internal failure becomes PanicException and std::bad_alloc becomes MemoryError. No C++
// exception gets past this point.
template <class Body, class Value = decltype(std::declval<Body&>()())>
Value boundary_call(Body&& body, Value failure) noexcept {
    try {
        return body();
    } catch (const PythonErrorPending&) {
        // The exception is already set.
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& other) {
        // InternalFailure, and anything else the standard library throws, with its message.
        raise_panic(other.what());
    } catch (...) {
        raise_panic(default_panic_message);
    }
    return failure;
}

}  // namespace varnhold::binding
