// The floor for keystroke echo: one thread that holds a terminal's master side itself and writes
// and reads it directly, with no relay and no parent pipe in between.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "relay_process.h"

namespace qlp::bench {

class DirectTerminal {
 public:
  /// Opens a terminal, starts `child` on it (on CPU `cpu` alone unless it is -1) and waits until
  /// `marker` has been read from it.
  static Result<std::unique_ptr<DirectTerminal>> start(const std::vector<std::string>& child,
                                                       char marker, int cpu);
  /// Hangs the child up and reaps it.
  ~DirectTerminal();
  DirectTerminal(const DirectTerminal&) = delete;
  DirectTerminal& operator=(const DirectTerminal&) = delete;

  /// Writes `byte` to the terminal and reads until it comes back.
  Result<void> round_trip(char byte, Clock::time_point deadline);

 private:
  DirectTerminal(int master, pid_t child) : master_(master), child_(child) {}
  Result<void> await(char byte, Clock::time_point deadline);

  int master_;
  pid_t child_;
};

}  // namespace qlp::bench
