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

namespace {

// A str is a sequence too, of characters: refused by name. Anything else must be a sequence.
bool is_share_sequence(PyObject* object) {
    if (PyUnicode_Check(object)) {
        // The message's wording is part of the frozen interface (callers and tests compare it),
        // so it stays as first written although no type of that name exists in this code.
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
        if (PyObject* sequence = sequence_class()) raise_type_mismatch(object, sequence);
        return false;
    }
    return true;
}

// The length, only a hint for the first allocation: an ordinary error in __len__ is dropped (0),
// but an interrupt, an exit request or any other exception outside Exception ends the call as
// it is (nothing, with the error pending).
std::optional<std::size_t> length_hint(PyObject* object) {
    const Py_ssize_t hint = PyObject_Size(object);
    if (hint >= 0) return std::min(static_cast<std::size_t>(hint), max_capacity_hint);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        fetch_error().restore();  // a PanicException is raised anew instead
        return std::nullopt;
    }
    fetch_error();  // dropped, unless it is a PanicException
    return 0;
}

// The items of a sequence in order: a list by position, as its own iterator would read it (the
// length is looked at again before every item, since a signal handler run by a stop check may
// change the list); anything else through an iterator.
class ItemReader {
public:
    explicit ItemReader(PyObject* object)
        : object_(object),
          is_list_(PyList_CheckExact(object)),
          iterator_(is_list_ ? PyRef() : PyRef::steal(PyObject_GetIter(object))) {}

    // False, with the error pending, when the iterator could not be made.
    bool ready() const noexcept { return is_list_ || static_cast<bool>(iterator_); }

    // The next item, or an empty reference at the end or on an error (then pending).
    PyRef next() {
        if (!is_list_) return PyRef::steal(PyIter_Next(iterator_.get()));
        if (position_ >= PyList_Size(object_)) return PyRef();
        return PyRef::borrow(PyList_GetItem(object_, position_++));
    }

private:
    PyObject* object_;
    bool is_list_;
    PyRef iterator_;
    Py_ssize_t position_ = 0;
};

// Adds the items' texts to `texts`, sharing rather than copying where an object comes again.
class TextCollector {
public:
    explicit TextCollector(ShareTexts& texts) : texts_(texts) {}

    // False, with the Python error pending, when the item is not a str, has no UTF-8 form or
    // the copies outgrow the memory this process can get.
    bool add(PyRef item, StopCheck& stop) {
        // The same str object given again in a row ([share] * k) shares its text.
        if (item.get() == previous_.get()) {
            texts_.views.push_back(texts_.views.back());
            return true;
        }
        const bool track = held_bytes_ >= track_objects_from;
        if (track) {
            if (const auto found = copied_.find(item.get()); found != copied_.end()) {
                texts_.views.push_back(found->second);
                previous_ = std::move(item);
                return true;
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
        if (!hold(view->size())) return false;
        texts_.views.push_back(*view);
        texts_.owners.push_back(std::move(utf8));
        if (track) {
            copied_.emplace(item.get(), *view);
            texts_.owners.push_back(PyRef::borrow(item.get()));
        }
        previous_ = std::move(item);
        return true;
    }

private:
    // Counts a new copy; past memory_check_threshold the copies may only grow by what the
    // process can still obtain, measured once.
    bool hold(std::size_t bytes) {
        held_bytes_ = saturating_add(held_bytes_, static_cast<std::uint64_t>(bytes));
        if (!held_limit_ && held_bytes_ >= memory_check_threshold) {
            held_limit_ = saturating_add(held_bytes_, obtainable_memory_bytes());
        }
        if (held_limit_ && held_bytes_ > *held_limit_) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

    ShareTexts& texts_;
    std::uint64_t held_bytes_ = 0;
    std::optional<std::uint64_t> held_limit_;
    PyRef previous_;
    // Once the copies are large, every str object is copied at most once more: later
    // appearances anywhere in the sequence share its text. The objects are kept alive, so an
    // address cannot be reused by another object during the call.
    std::unordered_map<PyObject*, std::string_view> copied_;
};

}  // namespace

bool extract_share_texts(PyObject* object, ShareTexts& texts) {
    if (!is_share_sequence(object)) return false;
    const std::optional<std::size_t> capacity = length_hint(object);
    if (!capacity) return false;
    ItemReader items(object);
    if (!items.ready()) return false;
    texts.views.reserve(*capacity);
    texts.owners.reserve(*capacity);
    TextCollector collector(texts);
    // A list of millions of shares takes a while to read; Ctrl-C may end it.
    StopCheck stop;
    for (;;) {
        stop.work(16);
        PyRef item = items.next();
        if (!item) return PyErr_Occurred() == nullptr;
        if (!collector.add(std::move(item), stop)) return false;
    }
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
