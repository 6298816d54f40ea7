#include "binding/utf8.hpp"

#include <dlfcn.h>

namespace varnhold::binding {
namespace {

using LendUtf8 = const char* (*)(PyObject*, Py_ssize_t*);

// The stable ABI of Python 3.10 and later has PyUnicode_AsUTF8AndSize, which lends the UTF-8
// form a str object keeps (for ASCII text, its characters) instead of copying it into a new
// bytes object, the only way 3.9's ABI offers. The module is built for 3.9's ABI, so it never
// links the function: it looks it up, only in an interpreter that is 3.10 or later, and does
// without it when it is not found (an interpreter embedded without exporting its symbols).
LendUtf8 find_lending_function() noexcept {
    const char* version = Py_GetVersion();  // "3.11.7 (main, ...)"
    unsigned major = 0;
    unsigned minor = 0;
    const char* c = version;
    for (; *c >= '0' && *c <= '9'; ++c) major = major * 10 + static_cast<unsigned>(*c - '0');
    if (*c++ != '.') return nullptr;
    for (; *c >= '0' && *c <= '9'; ++c) minor = minor * 10 + static_cast<unsigned>(*c - '0');
    if (major < 3 || (major == 3 && minor < 10)) return nullptr;
    return reinterpret_cast<LendUtf8>(dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"));
}

LendUtf8 lending_function() noexcept {
    static const LendUtf8 function = find_lending_function();
    return function;
}

}  // namespace

std::optional<std::string_view> utf8_text(PyObject* text, PyRef& owner) {
    if (const LendUtf8 lend = lending_function()) {
        Py_ssize_t size = 0;
        const char* data = lend(text, &size);
        if (data == nullptr) return std::nullopt;
        owner = PyRef::borrow(text);
        return std::string_view(data, static_cast<std::size_t>(size));
    }
    owner = PyRef::steal(PyUnicode_AsUTF8String(text));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!owner || PyBytes_AsStringAndSize(owner.get(), &data, &size) < 0) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

}  // namespace varnhold::binding
