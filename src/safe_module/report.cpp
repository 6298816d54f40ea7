#include "safe_module/report.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "binding/cached.hpp"
#include "binding/errors.hpp"
#include "common/decimal.hpp"
#include "common/stop_check.hpp"

namespace varnhold::binding {
namespace {

// varnhold_core's messages name what a field holds, and they stay as they are; the safe layer
// reports the same faults by field and reason alone. Each row: the start and end of a message,
// and what is said instead.
struct Rewrite {
    std::string_view prefix;
    std::string_view suffix;
    std::string_view replacement;
};
constexpr std::array<Rewrite, 3> rewrites = {{
    {"Invalid share index: ", " must be < 2^127-1", "Invalid share index: must be below 2^127-1"},
    {"Invalid share index: ", "", "Invalid share index: not a decimal number"},
    {"is written in envelope version ", "",
     "is written in an envelope version that this version cannot read"},
}};

// The message with nothing of the share's text in it.
std::string_view public_reason(std::string_view reason) {
    for (const Rewrite& rewrite : rewrites) {
        if (reason.starts_with(rewrite.prefix) && reason.ends_with(rewrite.suffix)) {
            return rewrite.replacement;
        }
    }
    return reason;
}

CachedObject report_module([] { return PyImport_ImportModule("varnhold._report"); });

// A class of varnhold._report (new reference), or null with the error pending.
PyRef report_class(const char* name) {
    PyObject* const module = report_module.get();
    if (module == nullptr) return PyRef();
    return PyRef::steal(PyObject_GetAttrString(module, name));
}

PyRef made(PyObject* object) {
    if (object == nullptr) object_creation_failed();
    return PyRef::steal(object);
}

PyRef none() { return PyRef::borrow(Py_None); }

PyRef text_or_none(std::string_view value) { return value.empty() ? none() : text_object(value); }

PyRef integer(uint128 value) {
    if (value >> 64 == 0) {
        return made(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
    }
    const std::string digits = to_decimal(value);
    return made(PyLong_FromString(digits.c_str(), nullptr, 10));
}

PyRef set_id_text(const std::optional<std::uint64_t>& set_id) {
    if (!set_id) return none();
    constexpr char digits[] = "0123456789abcdef";
    char hex[16];
    for (int i = 0; i < 16; ++i) hex[i] = digits[(*set_id >> (60 - 4 * i)) & 0xFu];
    return text_object(std::string_view(hex, sizeof hex));
}

// A blamed share is one the caller should drop or mend.
bool blamed(const ShareStatus& status) {
    return status.state == ShareState::wrong || status.state == ShareState::unreadable ||
           status.state == ShareState::foreign;
}

void raise_share_error(std::string_view message, PyRef positions, std::string_view reason) {
    const PyRef share_error = report_class("ShareError");
    if (!share_error) return;
    const PyRef message_object = text_object(message);
    const PyRef reason_object = text_object(reason);
    const PyRef error = PyRef::steal(PyObject_CallFunctionObjArgs(
        share_error.get(), message_object.get(), positions.get(), reason_object.get(), nullptr));
    if (error) PyErr_SetObject(share_error.get(), error.get());
}

}  // namespace

PyRef text_object(std::string_view text) {
    return made(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef report_object(const SetReport& report) {
    const PyRef status_class = report_class("ShareStatus");
    const PyRef report_type = status_class ? report_class("ShareReport") : PyRef();
    if (!report_type) return PyRef();
    const auto count = static_cast<Py_ssize_t>(report.shares.size());
    PyRef statuses = made(PyTuple_New(count));
    StopCheck stop;
    for (Py_ssize_t i = 0; i < count; ++i) {
        stop.work(64);
        const ShareStatus& status = report.shares[static_cast<std::size_t>(i)];
        const PyRef position = made(PyLong_FromSsize_t(i));
        const PyRef number = status.number ? integer(*status.number) : none();
        const PyRef state = text_object(share_state_name(status.state));
        const PyRef reason = text_or_none(public_reason(status.reason));
        PyObject* const entry = PyObject_CallFunctionObjArgs(
            status_class.get(), position.get(), number.get(), state.get(), reason.get(), nullptr);
        if (entry == nullptr) return PyRef();
        PyTuple_SetItem(statuses.get(), i, entry);
    }
    const PyRef scheme = report.scheme ? text_object(scheme_name(*report.scheme)) : none();
    const PyRef k = report.k != 0 ? integer(report.k) : none();
    const PyRef set_id = set_id_text(report.set_id);
    const PyRef size = made(PyLong_FromSsize_t(count));
    const PyRef problem = text_or_none(public_reason(report.problem));
    return PyRef::steal(PyObject_CallFunctionObjArgs(report_type.get(), scheme.get(), k.get(),
                                                     set_id.get(), size.get(), statuses.get(),
                                                     problem.get(), nullptr));
}

void raise_share_problem(std::string_view message) {
    const std::string_view shown = public_reason(message);
    raise_share_error(shown, made(PyTuple_New(0)), shown);
}

void raise_report_error(const SetReport& report, std::string_view otherwise) {
    const auto append = [](std::string& list, std::string_view item) {
        list.append(list.empty() ? "" : "; ").append(item);
    };
    std::string message;
    std::string reasons;
    std::vector<std::string_view> seen;
    PyRef positions = made(PyList_New(0));
    for (std::size_t i = 0; i < report.shares.size(); ++i) {
        const ShareStatus& status = report.shares[i];
        if (!blamed(status)) continue;
        const std::string_view reason = public_reason(status.reason);
        std::string label = "share " + std::to_string(i + 1);
        if (status.number) label += " (number " + to_decimal(*status.number) + ")";
        append(message, label.append(": ").append(reason));
        if (PyList_Append(positions.get(), made(PyLong_FromSize_t(i)).get()) != 0) return;
        // A blamed share always has a reason; each is named once.
        if (reason.empty() || std::find(seen.begin(), seen.end(), reason) != seen.end()) continue;
        seen.push_back(reason);
        append(reasons, reason);
    }
    if (!report.problem.empty()) {
        const std::string_view problem = public_reason(report.problem);
        append(message, problem);
        append(reasons, problem);
    }
    if (message.empty()) return raise_share_problem(otherwise);
    raise_share_error(message, made(PyList_AsTuple(positions.get())), reasons);
}

}  // namespace varnhold::binding
