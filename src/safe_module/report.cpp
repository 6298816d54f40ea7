#include "safe_module/report.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "binding/cached.hpp"
#include "binding/errors.hpp"
#include "common/decimal.hpp"
#include "common/stop_check.hpp"

namespace varnhold::binding {
namespace {

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
        const PyRef reason = text_or_none(status.reason);
        PyObject* const entry = PyObject_CallFunctionObjArgs(
            status_class.get(), position.get(), number.get(), state.get(), reason.get(), nullptr);
        if (entry == nullptr) return PyRef();
        PyTuple_SetItem(statuses.get(), i, entry);
    }
    const PyRef scheme = report.scheme ? text_object(scheme_name(*report.scheme)) : none();
    const PyRef k = report.k != 0 ? integer(report.k) : none();
    const PyRef set_id = set_id_text(report.set_id);
    const PyRef size = made(PyLong_FromSsize_t(count));
    const PyRef problem = text_or_none(report.problem);
    return PyRef::steal(PyObject_CallFunctionObjArgs(report_type.get(), scheme.get(), k.get(),
                                                     set_id.get(), size.get(), statuses.get(),
                                                     problem.get(), nullptr));
}

void raise_share_problem(std::string_view message) {
    raise_share_error(message, made(PyTuple_New(0)), message);
}

void raise_report_error(const SetReport& report, std::string_view otherwise) {
    std::string message;
    std::string reasons;
    std::vector<std::string_view> seen;
    PyRef positions = made(PyList_New(0));
    for (std::size_t i = 0; i < report.shares.size(); ++i) {
        const ShareStatus& status = report.shares[i];
        if (!blamed(status)) continue;
        if (!message.empty()) message += "; ";
        message += "share " + std::to_string(i + 1);
        if (status.number) message += " (number " + to_decimal(*status.number) + ")";
        message += ": " + status.reason;
        if (PyList_Append(positions.get(), made(PyLong_FromSize_t(i)).get()) != 0) return;
        // A blamed share always has a reason; each is named once.
        if (status.reason.empty() ||
            std::find(seen.begin(), seen.end(), status.reason) != seen.end()) {
            continue;
        }
        seen.push_back(status.reason);
        reasons += (reasons.empty() ? "" : "; ") + status.reason;
    }
    if (!report.problem.empty()) {
        message += (message.empty() ? "" : "; ") + report.problem;
        reasons += (reasons.empty() ? "" : "; ") + report.problem;
    }
    if (message.empty()) return raise_share_problem(otherwise);
    raise_share_error(message, made(PyList_AsTuple(positions.get())), reasons);
}

}  // namespace varnhold::binding
