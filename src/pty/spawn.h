// Starting a process on a terminal: fork, the steps of the new process, exec,
// and the error pipe that reports a failed start.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "command/command.h"
#include "base/error.h"
#include "pty/file_descriptor.h"

namespace qlp {

/// What the new process does just before it executes the program, beyond
/// wiring its standard streams.
struct PreExec {
  /// The file-mode creation mask to set, if any.
  std::optional<std::uint16_t> file_mode_mask;
  /// Whether to make standard input (the terminal) the controlling terminal.
  bool controlling_terminal = true;
};

/// Starts `command` with `in`, `out` and `err` as its standard streams, as the
/// leader of a new session, with every signal at its default, an empty signal
/// mask and no other descriptor of this process. Returns the process id once
/// the program has been executed. A failure of any step in the new process,
/// exec included, comes back as that step's OS error, and the new process has
/// then been reaped. A NUL byte in the command fails with
/// "nul byte found in provided data" before any process exists.
///
/// Must be called while this process has a single thread: the new process
/// lists a directory before exec, which is safe only then.
Result<pid_t> spawn_process(const Command& command, const Stdio& in, const Stdio& out,
                            const Stdio& err, const PreExec& pre_exec);

}  // namespace qlp
