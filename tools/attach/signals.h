// Signals while a person is attached: window changes become resize frames, stops and fatal
// signals give the terminal back first.
#pragma once

#include "base/error.h"

namespace qlp::attach {

/// Installs the handlers and returns a descriptor that becomes readable whenever the window
/// may have changed size (SIGWINCH, or SIGCONT after a stop); drain it with
/// drain_signal_events. Call before enter_raw_mode, so that no signal can find the terminal
/// raw without a handler to restore it.
///
/// - SIGINT, SIGTERM, SIGHUP, SIGQUIT and the fault signals: the terminal is restored, then
///   the signal is raised again with its default action, so the tool ends as it would have.
///   The bridge sees its input close and hangs the program up.
/// - SIGTSTP, SIGTTIN, SIGTTOU: the terminal is restored and the tool stops; on SIGCONT it
///   goes raw again and reports the window size anew.
/// - SIGPIPE is ignored: a bridge that has gone shows as a write error.
Result<int> install_signal_handlers();

/// Empties the descriptor returned by install_signal_handlers.
void drain_signal_events(int fd);

}  // namespace qlp::attach
