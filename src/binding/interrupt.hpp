#pragma once

namespace varnhold::binding {

// Lets the core's long loops end a call when a signal handler has raised an exception (Ctrl-C:
// KeyboardInterrupt). The check runs with the interpreter lock held, as the whole call does;
// the exception ends the call through the usual unwinding.
void install_interrupt_check() noexcept;

}  // namespace varnhold::binding
