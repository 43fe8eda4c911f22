// What the system tells about a process: its name and working directory. One implementation per
// platform (foreground_process_<platform>.cc); the build takes the one for its target.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace qlp {

struct ProcessDescription {
  /// The program's name, as UTF-8 (an invalid byte shows as U+FFFD).
  std::optional<std::string> name;
  /// The absolute working directory; none unless it is valid UTF-8, which a parent could not
  /// tell apart from a replaced character.
  std::optional<std::string> cwd;
};

/// What can be learnt of process `pid` now: a member is empty when the process has gone or the
/// system does not tell (a process of another user hides its directory). Any thread.
ProcessDescription describe_process(pid_t pid);

}  // namespace qlp
