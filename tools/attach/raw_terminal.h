// The person's own terminal: raw mode on, and back the way it was on every way out.
//
// One terminal per process, so the saved settings live in this file's static storage where
// signal handlers can reach them: every function below except enter_raw_mode is
// async-signal-safe.
#pragma once

#include <optional>

#include "attach/spawn_request.h"
#include "base/error.h"

namespace qlp::attach {

/// Saves the settings of terminal `fd` and switches it to raw mode: no echo, no line editing,
/// no signals from keys (Ctrl-C reaches the program as a byte), no output processing.
/// Returns false, changing nothing, when `fd` is not a terminal.
Result<bool> enter_raw_mode(int fd);

/// Puts back the saved settings, once; later calls do nothing.
void leave_raw_mode() noexcept;

/// For a stop (Ctrl-Z from outside, SIGTSTP): the saved settings back, raw mode remembered.
void suspend_raw_mode() noexcept;

/// After the process continues: raw mode again if it was on (a job-control shell may have
/// changed the terminal meanwhile).
void resume_raw_mode() noexcept;

/// The window size of terminal `fd`, or none when it is not a terminal.
std::optional<TerminalSize> terminal_size(int fd);

/// Restores the terminal when the scope ends, whichever way it ends.
class RawModeGuard {
 public:
  RawModeGuard() = default;
  ~RawModeGuard() { leave_raw_mode(); }
  RawModeGuard(const RawModeGuard&) = delete;
  RawModeGuard& operator=(const RawModeGuard&) = delete;
};

}  // namespace qlp::attach
