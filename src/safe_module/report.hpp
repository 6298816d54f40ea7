#pragma once

#include <string_view>

#include "binding/py_ref.hpp"
#include "safe/share_set.hpp"

// What the safe layer reports, as the package's own types (varnhold._report): ShareReport and
// its ShareStatus values, and ShareError. The native module builds them; the package only
// defines them.
namespace varnhold::binding {

// A new str object of the text; InternalFailure when it cannot be made.
PyRef text_object(std::string_view text);

// The report as a varnhold.ShareReport; null with the Python error pending on failure.
PyRef report_object(const SetReport& report);

// Raises ShareError(message): no share is blamed, and the reason is the message itself.
void raise_share_problem(std::string_view message);

// Raises the ShareError a report calls for: each blamed share ("share 2 (number 3): reason") and
// the set's problem; `otherwise` when the report blames nothing.
void raise_report_error(const SetReport& report, std::string_view otherwise);

}  // namespace varnhold::binding
