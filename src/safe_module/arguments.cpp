#include "safe_module/arguments.hpp"

#include <array>
#include <string>
#include <utility>

#include "binding/convert.hpp"
#include "binding/utf8.hpp"
#include "common/decimal.hpp"
#include "safe_module/report.hpp"

namespace varnhold::binding {
namespace {

// TypeError "{what}, not {type name}" ("{what}, not a single {type name}" when `single`).
bool type_error(const char* what, PyObject* value, bool single = false) {
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
    if (name)
        PyErr_Format(PyExc_TypeError, "%s, not %s%U", what, single ? "a single " : "", name.get());
    return false;
}

// An int, not a bool: the package takes no other number and no __index__.
bool is_int(PyObject* value) { return PyLong_Check(value) && !PyBool_Check(value); }

bool check_size(const char* name, PyObject* value) {
    if (!is_int(value)) {
        return type_error(name[0] == 'k' ? "k must be an int" : "n must be an int", value);
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

// 1 when the value equals the name, 0 when not, -1 with the comparison's error pending. A str is
// compared in place, without a call; any other object by its own __eq__.
int equals_name(PyObject* value, const char* name) {
    if (PyUnicode_CheckExact(value)) return PyUnicode_CompareWithASCIIString(value, name) == 0;
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text) return -1;
    return PyObject_RichCompareBool(value, text.get(), Py_EQ);
}

// The scheme a value names: ValueError (or the comparison's error) for any other.
bool named_scheme(PyObject* value, Scheme& scheme) {
    static const std::array<std::pair<const char*, Scheme>, 2> names = {
        std::pair{"shamir", Scheme::shamir}, std::pair{"blakley", Scheme::blakley}};
    for (const auto& [name, candidate] : names) {
        const int equal = equals_name(value, name);
        if (equal < 0) return false;
        if (equal == 1) {
            scheme = candidate;
            return true;
        }
    }
    PyErr_SetString(PyExc_ValueError, "scheme must be 'shamir' or 'blakley'");
    return false;
}

}  // namespace

bool package_split_arguments(SplitArguments& arguments, Scheme& scheme) {
    if (!PyBytes_Check(arguments.bound[0])) {
        return type_error("secret must be bytes", arguments.bound[0]);
    }
    return check_size("k", arguments.bound[1]) && check_size("n", arguments.bound[2]) &&
           named_scheme(arguments.bound[3], scheme) && convert_split_arguments(arguments);
}

bool package_reshare_arguments(PyObject* k, PyObject* n, PyObject* scheme, std::uint64_t& new_k,
                               std::uint64_t& new_n, std::optional<Scheme>& new_scheme) {
    if (!check_size("k", k) || !check_size("n", n)) return false;
    if (scheme != Py_None) {
        Scheme named = Scheme::shamir;
        if (!named_scheme(scheme, named)) return false;
        new_scheme = named;
    }
    const std::optional<std::uint64_t> k_value = extract_size(k);
    if (!k_value) return argument_error("k") != nullptr;
    const std::optional<std::uint64_t> n_value = extract_size(n);
    if (!n_value) return argument_error("n") != nullptr;
    new_k = *k_value;
    new_n = *n_value;
    return true;
}

bool package_shares(PyObject* shares, SharesArguments& out) {
    if (PyUnicode_Check(shares) || PyBytes_Check(shares)) {
        return type_error("shares must be an iterable of str", shares, true);
    }
    PyRef list =
        PyList_CheckExact(shares) ? PyRef::borrow(shares) : PyRef::steal(PySequence_List(shares));
    if (!list) return false;
    const Py_ssize_t size = PyList_Size(list.get());
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* const item = PyList_GetItem(list.get(), i);
        if (!PyUnicode_Check(item)) {
            const std::string what = "share " + std::to_string(i + 1) + " must be str";
            return type_error(what.c_str(), item);
        }
    }
    out.bound.slots[0] = std::move(list);
    if (!extract_share_texts(out.bound[0], out.shares)) {
        argument_error("shares");
        return false;
    }
    return true;
}

bool package_k(PyObject* value, std::uint64_t& k) {
    k = 0;
    if (value == Py_None) return true;
    if (!is_int(value)) return type_error("k must be an int or None", value);
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (number == -1 && overflow == 0 && PyErr_Occurred() != nullptr) return false;
    if (overflow < 0 || (overflow == 0 && number < 2)) {
        raise_share_problem("k must be at least 2");
        return false;
    }
    // Envelopes never carry more than this; a larger k cannot belong to any split.
    if (overflow > 0 || static_cast<unsigned long long>(number) > envelope_max_k) {
        raise_share_problem("k must be at most " + to_decimal(envelope_max_k));
        return false;
    }
    k = static_cast<std::uint64_t>(number);
    return true;
}

bool package_unchecked(PyObject* value, BareCheck& bare_check) {
    // Only a bool: an opt-in that waives the only protection is never inferred from a number.
    if (!PyBool_Check(value)) return type_error("unchecked must be a bool", value);
    bare_check = value == Py_True ? BareCheck::waived : BareCheck::required;
    return true;
}

bool package_index(PyObject* value, std::optional<uint128>& index) {
    index.reset();
    if (value == Py_None) return true;
    if (!is_int(value)) return type_error("index must be an int or None", value);
    PyRef digits = PyRef::steal(PyNumber_ToBase(value, 10));
    if (!digits) return false;
    PyRef owner;
    const std::optional<std::string_view> text = utf8_text(digits.get(), owner);
    if (!text) return false;
    // A negative index has a sign and no decimal reading.
    const std::optional<uint128> parsed = parse_decimal(*text);
    if (!parsed || *parsed == 0 || *parsed >= field_modulus) {
        raise_share_problem("index must be at least 1 and below 2^127-1");
        return false;
    }
    index = parsed;
    return true;
}

}  // namespace varnhold::binding
