// The module varnhold._native: the safe layer's operations for the pure-Python package varnhold.
// It shares the core and the binding layer with varnhold_core. Reports come back as plain tuples,
// which the package turns into its typed values and errors:
//   report = (scheme | None, k | None, set id hex | None, "envelope" | "bare" | None,
//             problem | None, ((number | None, state, reason | None), ...))
// combine, the hot path, returns the secret itself and builds a report only when it fails.

#include <array>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "binding/entry.hpp"
#include "binding/interrupt.hpp"
#include "binding/utf8.hpp"
#include "common/decimal.hpp"
#include "common/stop_check.hpp"
#include "random/entropy_source.hpp"
#include "safe/quick_combine.hpp"
#include "safe/safe_split.hpp"
#include "safe/share_set.hpp"

namespace varnhold::binding {
namespace {

constexpr Signature shamir_split_signature{"shamir_split", 3, {"secret", "k", "n"}};
constexpr Signature blakley_split_signature{"blakley_split", 3, {"secret", "k", "n"}};
constexpr Signature check_signature{"check", 2, {"shares", "k"}};
constexpr Signature combine_signature{"combine", 2, {"shares", "k"}};
constexpr Signature new_share_signature{"new_share", 3, {"shares", "k", "index"}};
constexpr Signature refresh_signature{"refresh", 2, {"shares", "k"}};

PyRef made(PyObject* object) {
    if (object == nullptr) object_creation_failed();
    return PyRef::steal(object);
}

PyRef none() { return PyRef::borrow(Py_None); }

PyRef text(std::string_view value) {
    return made(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

PyRef text_or_none(std::string_view value) { return value.empty() ? none() : text(value); }

PyRef integer(uint128 value) {
    if (value >> 64 == 0)
        return made(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
    const std::string digits = to_decimal(value);
    return made(PyLong_FromString(digits.c_str(), nullptr, 10));
}

PyRef tuple(std::vector<PyRef> items) {
    PyRef result = made(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyTuple_SetItem(result.get(), static_cast<Py_ssize_t>(i), items[i].release());
    }
    return result;
}

PyRef report_tuple(const SetReport& report) {
    std::vector<PyRef> shares;
    shares.reserve(report.shares.size());
    StopCheck stop;
    for (const ShareStatus& status : report.shares) {
        stop.work(64);
        std::vector<PyRef> entry;
        entry.push_back(status.number ? integer(*status.number) : none());
        entry.push_back(text(share_state_name(status.state)));
        entry.push_back(text_or_none(status.reason));
        shares.push_back(tuple(std::move(entry)));
    }
    std::vector<PyRef> fields;
    fields.push_back(report.scheme ? text(scheme_name(*report.scheme)) : none());
    fields.push_back(report.k != 0 ? integer(report.k) : none());
    if (report.set_id) {
        constexpr char digits[] = "0123456789abcdef";
        char hex[16];
        for (int i = 0; i < 16; ++i) hex[i] = digits[(*report.set_id >> (60 - 4 * i)) & 0xFu];
        fields.push_back(text(std::string_view(hex, sizeof hex)));
    } else {
        fields.push_back(none());
    }
    fields.push_back(report.scheme ? text(report.envelopes ? "envelope" : "bare") : none());
    fields.push_back(text_or_none(report.problem));
    fields.push_back(tuple(std::move(shares)));
    return tuple(std::move(fields));
}

// Binds (shares, k, ...) and reads the set; k = 0 stands for "not given".
struct ReadSet {
    SharesArguments arguments;
    std::optional<ShareSet> set;
};

bool read_set(const Signature& signature, PyObject* args, PyObject* kwargs, ReadSet& out) {
    if (!bind_shares_arguments(signature, args, kwargs, out.arguments)) return false;
    out.set.emplace(out.arguments.shares.views, out.arguments.k);
    return true;
}

// The envelope shares of converted split arguments, as a list.
PyObject* envelope_split(Scheme scheme, const SplitArguments& arguments) {
    PyListShareWriter shares;
    if (Result<void> done = safe_split(scheme, arguments.secret, arguments.k, arguments.n,
                                       process_entropy_source(), shares);
        !done) {
        raise_sharing_error(done.error());
        return nullptr;
    }
    return shares.release();
}

template <const Signature& signature, Scheme scheme>
PyObject* split_body(PyObject* args, PyObject* kwargs) {
    SplitArguments arguments;
    if (!bind_split_arguments(signature, args, kwargs, arguments)) return nullptr;
    return envelope_split(scheme, arguments);
}

// The package's split(secret, k, n, *, scheme="shamir") itself, so that a split from Python is
// one call: the package's own type and sign checks, with its messages and in its order, then the
// scheme, then the split of that scheme with the conversions of shamir_split and blakley_split.
bool package_type_error(const char* what, PyObject* value) {
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
    if (name) PyErr_Format(PyExc_TypeError, "%s, not %U", what, name.get());
    return false;
}

bool check_package_size(const char* name, PyObject* value) {
    if (PyBool_Check(value) || !PyLong_Check(value)) {
        return package_type_error(name[0] == 'k' ? "k must be an int" : "n must be an int", value);
    }
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (number == -1 && overflow == 0 && PyErr_Occurred() != nullptr) return false;
    if (overflow < 0 || (overflow == 0 && number < 0)) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative", name);
        return false;
    }
    return true;
}

// The scheme a value names; false with ValueError (or the comparison's error) for any other.
bool named_scheme(PyObject* value, Scheme& scheme) {
    if (value == nullptr) {
        scheme = Scheme::shamir;
        return true;
    }
    static const std::array<std::pair<const char*, Scheme>, 2> names = {
        std::pair{"shamir", Scheme::shamir}, std::pair{"blakley", Scheme::blakley}};
    for (const auto& [name, candidate] : names) {
        PyRef text = PyRef::steal(PyUnicode_FromString(name));
        if (!text) return false;
        const int equal = PyObject_RichCompareBool(value, text.get(), Py_EQ);
        if (equal < 0) return false;
        if (equal == 1) {
            scheme = candidate;
            return true;
        }
    }
    PyErr_SetString(PyExc_ValueError, "scheme must be 'shamir' or 'blakley'");
    return false;
}

PyObject* package_split_body(PyObject* args, PyObject* kwargs) {
    PyObject* secret = nullptr;
    PyObject* k = nullptr;
    PyObject* n = nullptr;
    PyObject* scheme_name = nullptr;
    if (kwargs == nullptr && PyTuple_Size(args) == 3) {
        secret = PyTuple_GetItem(args, 0);
        k = PyTuple_GetItem(args, 1);
        n = PyTuple_GetItem(args, 2);
    } else {
        static const char* keywords[] = {"secret", "k", "n", "scheme", nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$O:split", const_cast<char**>(keywords),
                                         &secret, &k, &n, &scheme_name)) {
            return nullptr;
        }
    }
    if (!PyBytes_Check(secret)) {
        package_type_error("secret must be bytes", secret);
        return nullptr;
    }
    if (!check_package_size("k", k) || !check_package_size("n", n)) return nullptr;
    Scheme scheme = Scheme::shamir;
    if (!named_scheme(scheme_name, scheme)) return nullptr;

    SplitArguments arguments;
    arguments.bound.slots[0] = PyRef::borrow(secret);
    arguments.bound.slots[1] = PyRef::borrow(k);
    arguments.bound.slots[2] = PyRef::borrow(n);
    if (!convert_split_arguments(arguments)) return nullptr;
    return envelope_split(scheme, arguments);
}

PyObject* check_body(PyObject* args, PyObject* kwargs) {
    ReadSet read;
    if (!read_set(check_signature, args, kwargs, read)) return nullptr;
    return report_tuple(read.set->report()).release();
}

// Only a list of str takes the native path; anything else comes back as None, and the package
// reads it (and raises its own TypeError) before calling again.
bool list_of_text(PyObject* object) {
    if (!PyList_Check(object)) return false;
    const Py_ssize_t size = PyList_Size(object);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (!PyUnicode_Check(PyList_GetItem(object, i))) return false;
    }
    return true;
}

// A short list of str whose shares are exactly k of one set (k = 0: not given): the secret from
// texts held on the stack, or nullptr (with no error pending) when the list needs the full
// reading, which repeats the extraction and raises whatever it raises.
PyObject* quick_combine_list(PyObject* list, std::uint64_t k) {
    const Py_ssize_t size = PyList_Size(list);
    if (size < 2 || size > static_cast<Py_ssize_t>(quick_combine_limit)) return nullptr;
    std::array<PyRef, quick_combine_limit> owners;
    std::array<std::string_view, quick_combine_limit> views;
    const auto m = static_cast<std::size_t>(size);
    for (std::size_t i = 0; i < m; ++i) {
        // A signal handler may have shortened the list; the full reading then sees it as it is.
        PyObject* const item = PyList_GetItem(list, static_cast<Py_ssize_t>(i));
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
    if (!quick_combine({views.data(), m}, k, bytes)) return nullptr;
    return make_bytes(bytes);
}

// The secret as bytes when every share agrees, else the report (built only then).
PyObject* combine_body(PyObject* args, PyObject* kwargs) {
    ReadSet read;
    SharesArguments& arguments = read.arguments;
    if (!bind_arguments(combine_signature, args, kwargs, arguments.bound)) return nullptr;
    if (!list_of_text(arguments.bound[0])) return none().release();
    const std::optional<std::uint64_t> k = extract_size(arguments.bound[1]);
    if (!k) {
        PyErr_Clear();
    } else if (PyObject* secret = quick_combine_list(arguments.bound[0], *k)) {
        return secret;
    }
    if (PyErr_Occurred() != nullptr) return nullptr;
    if (!convert_shares_arguments(arguments)) return nullptr;
    read.set.emplace(arguments.shares.views, arguments.k);
    if (!read.set->report().usable()) return report_tuple(read.set->report()).release();
    SecretBytes bytes;
    read.set->secret(bytes);
    return make_bytes(bytes);
}

// The package's combine(shares, *, k=None) made native for its common case, so that it costs one
// call: a list of exactly k shares of one set, with k not given or a plain int in range, is
// combined here. Every other call, and every list that does not simply combine, goes to the
// package's own combine, which reads, reports and raises. The function's self is this module,
// which keeps that combine as fallback_name.
constexpr const char* fallback_name = "_combine_fallback";

PyObject* package_combine_body(PyObject* module, PyObject* args, PyObject* kwargs) {
    PyObject* shares = nullptr;
    PyObject* k = Py_None;
    if (kwargs == nullptr && PyTuple_Size(args) == 1) {
        shares = PyTuple_GetItem(args, 0);
    } else {
        static const char* keywords[] = {"shares", "k", nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:combine", const_cast<char**>(keywords),
                                         &shares, &k)) {
            return nullptr;
        }
    }
    std::uint64_t k_given = 0;
    bool quick = PyList_CheckExact(shares);
    if (quick && k != Py_None) {
        // Exactly an int (not a bool) in the range the package accepts; it reports the rest.
        quick = PyLong_CheckExact(k);
        if (quick) {
            const long long value = PyLong_AsLongLong(k);
            if (value == -1 && PyErr_Occurred() != nullptr) PyErr_Clear();
            quick = value >= 2 && value <= static_cast<long long>(envelope_max_k);
            k_given = static_cast<std::uint64_t>(value);
        }
    }
    if (quick) {
        if (PyObject* secret = quick_combine_list(shares, k_given)) return secret;
        if (PyErr_Occurred() != nullptr) return nullptr;
    }
    const PyRef fallback = PyRef::steal(PyObject_GetAttrString(module, fallback_name));
    if (!fallback) return nullptr;
    return PyObject_Call(fallback.get(), args, kwargs);
}

PyMethodDef package_combine_definition = {
    "combine", as_cfunction(bound_keyword_entry<package_combine_body>),
    METH_VARARGS | METH_KEYWORDS,
    "combine(shares, *, k=None)\n--\n\n"
    "Rebuilds the secret from every share given.\n\n"
    "At least k valid shares of one set are needed; every share beyond k is verified and the\n"
    "rebuilt chunks are range-checked. Raises ShareError unless every share agrees."};

// combining(fallback): the package's combine, taking the common case natively and handing every
// other call to fallback, which this module keeps.
PyObject* combining_body(PyObject* module, PyObject* args, PyObject* kwargs) {
    PyObject* fallback = nullptr;
    static const char* keywords[] = {"fallback", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:combining", const_cast<char**>(keywords),
                                     &fallback)) {
        return nullptr;
    }
    if (PyCallable_Check(fallback) == 0) {
        PyErr_SetString(PyExc_TypeError, "fallback must be callable");
        return nullptr;
    }
    const PyRef package = PyRef::steal(PyObject_GetAttrString(fallback, "__module__"));
    if (!package) return nullptr;
    if (PyObject_SetAttrString(module, fallback_name, fallback) != 0) return nullptr;
    return PyCFunction_NewEx(&package_combine_definition, module, package.get());
}

// (report, result | None, error | None)
PyObject* outcome(const SetReport& report, PyRef result, std::string_view error) {
    std::vector<PyRef> items;
    items.push_back(report_tuple(report));
    items.push_back(std::move(result));
    items.push_back(text_or_none(error));
    return tuple(std::move(items)).release();
}

PyObject* new_share_body(PyObject* args, PyObject* kwargs) {
    ReadSet read;
    if (!read_set(new_share_signature, args, kwargs, read)) return nullptr;
    // The index comes as its decimal text ("" for the default), so that any index below p fits.
    PyObject* index_object = read.arguments.bound[2];
    if (!PyUnicode_Check(index_object)) {
        raise_type_mismatch(index_object, "str");
        return argument_error("index");
    }
    PyRef index_utf8;
    const std::optional<std::string_view> index_text = utf8_text(index_object, index_utf8);
    if (!index_text) return argument_error("index");
    std::optional<uint128> index;
    if (!index_text->empty()) {
        index = parse_decimal(*index_text);
        if (!index) return outcome(read.set->report(), none(), "index must be below 2^127-1");
    }
    if (!read.set->report().usable()) return outcome(read.set->report(), none(), "");
    Result<std::string> share = read.set->new_share(index, process_entropy_source());
    if (!share) return outcome(read.set->report(), none(), share.error().message);
    return outcome(read.set->report(), text(*share), "");
}

PyObject* refresh_body(PyObject* args, PyObject* kwargs) {
    ReadSet read;
    if (!read_set(refresh_signature, args, kwargs, read)) return nullptr;
    const SetReport& report = read.set->report();
    if (report.scheme == Scheme::blakley && report.problem.empty()) {
        return outcome(report, none(),
                       "Blakley shares cannot be refreshed; only Shamir shares can");
    }
    if (!report.usable()) return outcome(report, none(), "");
    Result<std::vector<std::string>> shares = read.set->refresh(process_entropy_source());
    if (!shares) return outcome(report, none(), shares.error().message);
    PyRef list = made(PyList_New(static_cast<Py_ssize_t>(shares->size())));
    for (std::size_t i = 0; i < shares->size(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), text((*shares)[i]).release());
    }
    return outcome(report, std::move(list), "");
}

constexpr int keyword_flags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef method_table[] = {
    {"shamir_split",
     as_cfunction(keyword_entry<split_body<shamir_split_signature, Scheme::shamir>>), keyword_flags,
     "shamir_split(secret, k, n)\n--\n\nEnvelope shares of a Shamir split."},
    {"blakley_split",
     as_cfunction(keyword_entry<split_body<blakley_split_signature, Scheme::blakley>>),
     keyword_flags, "blakley_split(secret, k, n)\n--\n\nEnvelope shares of a Blakley split."},
    {"split", as_cfunction(keyword_entry<package_split_body>), keyword_flags,
     "split(secret, k, n, *, scheme='shamir')\n--\n\n"
     "Splits a 32-byte secret into n envelope shares, any k of which rebuild it.\n\n"
     "Raises ValueError for a secret that is not 32 bytes or for k, n outside 2 <= k <= n <= "
     "2^20.\nAll random bytes of the split come from one request to the operating system."},
    {"check", as_cfunction(keyword_entry<check_body>), keyword_flags,
     "check(shares, k)\n--\n\nThe report of a list of shares (k = 0: not given)."},
    {"combine", as_cfunction(keyword_entry<combine_body>), keyword_flags,
     "combine(shares, k)\n--\n\nThe secret, the report when the shares do not all agree, or None "
     "when shares is not a list of str."},
    {"combining", as_cfunction(bound_keyword_entry<combining_body>), keyword_flags,
     "combining(fallback)\n--\n\nThe package's combine: a list of exactly k shares of one set is "
     "combined natively, every other call goes to fallback."},
    {"new_share", as_cfunction(keyword_entry<new_share_body>), keyword_flags,
     "new_share(shares, k, index)\n--\n\n(report, share or None, error or None)."},
    {"refresh", as_cfunction(keyword_entry<refresh_body>), keyword_flags,
     "refresh(shares, k)\n--\n\n(report, shares or None, error or None)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "varnhold._native",
    "The native operations of the safe layer; use the package varnhold instead.",
    0,
    method_table,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace varnhold::binding

PyMODINIT_FUNC PyInit__native() {
    varnhold::binding::install_interrupt_check();
    return PyModule_Create(&varnhold::binding::module_definition);
}
