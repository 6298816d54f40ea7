#include "binding/interrupt.hpp"

#include "binding/errors.hpp"
#include "common/stop_check.hpp"

namespace varnhold::binding {
namespace {

void check_signals() {
    // Runs the handlers of signals that arrived since the last check; one that raised leaves
    // its exception set for the call to end with.
    if (PyErr_CheckSignals() < 0) throw PythonErrorPending{};
}

}  // namespace

void install_interrupt_check() noexcept { set_stop_hook(check_signals); }

}  // namespace varnhold::binding
