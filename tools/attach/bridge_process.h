// The bridge as the attach tool's child: its standard input and output are two pipes.
#pragma once

#include <sys/types.h>

#include <string>

#include "base/error.h"

namespace qlp::attach {

class BridgeProcess {
 public:
  /// Starts `path` (searched along PATH when it holds no "/") with its standard input and
  /// output on pipes; standard error stays the tool's. The bridge gets a process group of its
  /// own, so that signals meant for the tool's terminal job (a hang-up, a Ctrl-C typed while
  /// the terminal is not raw) reach the tool alone, which then ends the session in order.
  static Result<BridgeProcess> start(const std::string& path);

  BridgeProcess(BridgeProcess&& other) noexcept;
  BridgeProcess& operator=(BridgeProcess&&) = delete;
  BridgeProcess(const BridgeProcess&) = delete;
  ~BridgeProcess();

  /// The write end of the bridge's standard input; non-blocking, -1 once closed.
  int input_fd() const { return input_fd_; }
  /// The read end of the bridge's standard output.
  int output_fd() const { return output_fd_; }

  /// Closes the bridge's standard input: the end of the session's input.
  void close_input();

  /// Waits for the bridge to end and returns its raw wait status.
  Result<int> wait();

 private:
  BridgeProcess(pid_t pid, int input_fd, int output_fd)
      : pid_(pid), input_fd_(input_fd), output_fd_(output_fd) {}

  pid_t pid_ = -1;
  int input_fd_ = -1;
  int output_fd_ = -1;
};

/// "exit status 3" or "signal 9 (Killed)".
std::string describe_wait_status(int status);

}  // namespace qlp::attach
