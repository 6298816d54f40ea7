#include "binding/convert.hpp"

#include <algorithm>
#include <unordered_map>

#include "binding/cached.hpp"
#include "binding/errors.hpp"
#include "binding/utf8.hpp"
#include "common/memory_limit.hpp"
#include "common/stop_check.hpp"

namespace varnhold::binding {
namespace {

bool has_type_flag(PyObject* object, unsigned long flag) {
    return (PyType_GetFlags(Py_TYPE(object)) & flag) != 0;
}

// A caller's object may report any length; the hint only sizes the first allocation.
constexpr std::size_t max_capacity_hint = 1 << 16;

// Below this many bytes of copied text, repeats of an object are simply copied again; the waste
// is bounded by this fixed amount and small calls keep no table of objects.
constexpr std::uint64_t track_objects_from = std::uint64_t{1} << 20;

}  // namespace

std::optional<std::string_view> extract_secret(PyObject* object) {
    if (!has_type_flag(object, Py_TPFLAGS_BYTES_SUBCLASS)) {
        raise_type_mismatch(object, "bytes");
        return std::nullopt;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(object, &data, &size) < 0) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

std::optional<std::uint64_t> extract_size(PyObject* object) {
    unsigned long long value = 0;
    if (has_type_flag(object, Py_TPFLAGS_LONG_SUBCLASS)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(object));
        if (!index) return std::nullopt;
        if (!has_type_flag(index.get(), Py_TPFLAGS_LONG_SUBCLASS)) {
            raise_type_mismatch(index.get(), "int");
            return std::nullopt;
        }
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    // All ones is a valid size unless the conversion reported an error with it.
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(value);
}

bool extract_share_texts(PyObject* object, ShareTexts& texts) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
        if (PyObject* sequence = sequence_class()) raise_type_mismatch(object, sequence);
        return false;
    }
    Py_ssize_t hint = PyObject_Size(object);
    if (hint < 0) {
        // Only a size hint: an ordinary error in __len__ is dropped, but an interrupt, an exit
        // request or any other exception outside Exception ends the call as it is.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            fetch_error().restore();  // a PanicException is raised anew instead
            return false;
        }
        fetch_error();  // dropped, unless it is a PanicException
        hint = 0;
    }
    // A list is read by position, as its own iterator would read it (the length is looked at
    // again before every item, since a signal handler run by a stop check may change the list);
    // anything else through an iterator.
    const bool is_list = PyList_CheckExact(object);
    PyRef iterator;
    if (!is_list) {
        iterator = PyRef::steal(PyObject_GetIter(object));
        if (!iterator) return false;
    }
    Py_ssize_t position = 0;
    const auto next_item = [&]() -> PyRef {
        if (!is_list) return PyRef::steal(PyIter_Next(iterator.get()));
        if (position >= PyList_Size(object)) return PyRef();
        return PyRef::borrow(PyList_GetItem(object, position++));
    };

    const std::size_t capacity = std::min(static_cast<std::size_t>(hint), max_capacity_hint);
    texts.views.reserve(capacity);
    texts.owners.reserve(capacity);
    std::uint64_t held_bytes = 0;
    // Set once the copies reach memory_check_threshold: the most they may reach in this call.
    std::optional<std::uint64_t> held_limit;
    // The same str object given again in a row ([share] * k) shares its text instead of a copy.
    PyRef previous;
    // Once the copies are large, every str object is copied at most once more: later
    // appearances anywhere in the sequence share its text. The objects are kept alive, so an
    // address cannot be reused by another object during the call.
    std::unordered_map<PyObject*, std::string_view> copied;
    // A list of millions of shares takes a while to read; Ctrl-C may end it.
    StopCheck stop;
    for (;;) {
        stop.work(16);
        PyRef item = next_item();
        if (!item) {
            if (PyErr_Occurred() != nullptr) return false;
            break;
        }
        if (item.get() == previous.get()) {
            texts.views.push_back(texts.views.back());
            continue;
        }
        const bool track = held_bytes >= track_objects_from;
        if (track) {
            if (const auto found = copied.find(item.get()); found != copied.end()) {
                texts.views.push_back(found->second);
                previous = std::move(item);
                continue;
            }
        }
        if (!PyUnicode_Check(item.get())) {
            raise_type_mismatch(item.get(), "str");
            return false;
        }
        PyRef utf8;
        const std::optional<std::string_view> view = utf8_text(item.get(), utf8);
        if (!view) return false;
        stop.work(static_cast<std::uint64_t>(view->size()) / 16);
        held_bytes = saturating_add(held_bytes, static_cast<std::uint64_t>(view->size()));
        if (!held_limit && held_bytes >= memory_check_threshold) {
            held_limit = saturating_add(held_bytes, obtainable_memory_bytes());
        }
        if (held_limit && held_bytes > *held_limit) {
            PyErr_NoMemory();
            return false;
        }
        texts.views.push_back(*view);
        texts.owners.push_back(std::move(utf8));
        if (track) {
            copied.emplace(item.get(), *view);
            texts.owners.push_back(PyRef::borrow(item.get()));
        }
        previous = std::move(item);
    }
    return true;
}

void PyListShareWriter::begin(std::size_t count) {
    list_ = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list_) object_creation_failed();
}

void PyListShareWriter::add(std::string_view text) {
    // Making the object is the costliest step of a share of a small k, and a split may make 2^20
    // of them: its work counts toward Ctrl-C's next chance to end the call, a few thousand
    // shares apart rather than at every one.
    stop_.work(text_work + text.size() / 8);
    // Share texts are ASCII, which Latin-1 reads as the same characters; the interpreter makes a
    // Latin-1 str with one scan for the largest character and a copy, where UTF-8 decoding costs
    // about twice as much.
    PyObject* item =
        PyUnicode_DecodeLatin1(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    if (item == nullptr) object_creation_failed();
    PyList_SetItem(list_.get(), next_++, item);
}

PyObject* make_bytes(const SecretBytes& secret) {
    PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(secret.bytes.data()),
                                                static_cast<Py_ssize_t>(secret.bytes.size()));
    if (bytes == nullptr) object_creation_failed();
    return bytes;
}

}  // namespace varnhold::binding
