// One attach session: keys to input frames, window changes to resize frames, data frames to
// the screen, until the bridge has said all it will say.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "attach/bridge_process.h"
#include "attach/trace.h"
#include "base/error.h"

namespace qlp::attach {

/// The descriptors a session works with.
struct SessionIo {
  /// Keys come from here (the person's terminal, raw).
  int terminal_in = 0;
  /// Terminal output goes here.
  int terminal_out = 1;
  /// Readable when the window may have changed size (see install_signal_handlers), or -1.
  int signal_events = -1;
  /// Where to read the window size from, or -1 when there is no terminal.
  int size_fd = -1;
};

/// How a session ended, as far as the frames and the bridge tell.
struct SessionOutcome {
  /// The code of the exit frame, when one came.
  std::optional<uint32_t> exit_code;
  /// The message of the error frame, when one came.
  std::optional<std::string> error_message;
  /// The first line from the bridge that was not a readable frame.
  std::optional<std::string> protocol_problem;
  /// The bridge's raw wait status.
  int bridge_status = 0;
};

/// Sends `spawn_line` and runs the session to its end: until the bridge's standard output ends,
/// then waits for the bridge. After the exit frame no more keys are read and the bridge's input
/// is closed, which lets it finish in order (it still delivers the program's last output).
/// When the keys end (the terminal hung up, or a non-terminal input reached its end), the
/// bridge's input is closed too: for the bridge, that hangs the program up.
Result<SessionOutcome> run_session(BridgeProcess& bridge, const std::string& spawn_line,
                                   const SessionIo& io, Trace* trace);

}  // namespace qlp::attach
