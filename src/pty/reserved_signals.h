// Signals the C library keeps for its own use.
#pragma once

namespace qlp {

// N.B.: called after fork, in the new process, before exec.

/// Sets `sig` to its default disposition past the C library, for a signal whose change the
/// library has refused because it keeps the signal for itself. Does nothing where the library
/// keeps none.
void reset_reserved_signal(int sig) noexcept;

}  // namespace qlp
