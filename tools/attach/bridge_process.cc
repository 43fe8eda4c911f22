#include "attach/bridge_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

extern char** environ;

namespace qlp::attach {
namespace {

/// A pipe whose ends are both close-on-exec (the spawn's dup2 makes the bridge's copies).
/// pipe2 would do it in one step but macOS lacks it; the tool has one thread, so the gap
/// between pipe and fcntl can leak nothing into another process.
Result<void> cloexec_pipe(int fds[2]) {
  if (pipe(fds) != 0) return Error::os(errno);
  for (int i = 0; i < 2; ++i) {
    if (fcntl(fds[i], F_SETFD, FD_CLOEXEC) == -1) {
      int saved = errno;
      close(fds[0]);
      close(fds[1]);
      return Error::os(saved);
    }
  }
  return {};
}

}  // namespace

Result<BridgeProcess> BridgeProcess::start(const std::string& path) {
  int input[2];
  int output[2];
  if (auto made = cloexec_pipe(input); !made) return std::move(made).error();
  if (auto made = cloexec_pipe(output); !made) {
    close(input[0]);
    close(input[1]);
    return std::move(made).error();
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  // The tool's own handlers are reset by exec; what it ignores (SIGPIPE) would be inherited.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  std::string program = path;
  char* argv[] = {program.data(), nullptr};
  pid_t pid = -1;
  int status = path.find('/') == std::string::npos
                   ? posix_spawnp(&pid, path.c_str(), &actions, &attributes, argv, environ)
                   : posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(input[0]);
  close(output[1]);
  if (status != 0) {
    close(input[1]);
    close(output[0]);
    return Error::os(status);
  }
  // Non-blocking, so that the tool never sits in a write to the bridge while the bridge sits
  // in a write to the tool: the tool keeps reading output whatever the input side does.
  int flags = fcntl(input[1], F_GETFL);
  if (flags != -1) fcntl(input[1], F_SETFL, flags | O_NONBLOCK);
  return BridgeProcess(pid, input[1], output[0]);
}

BridgeProcess::BridgeProcess(BridgeProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      input_fd_(std::exchange(other.input_fd_, -1)),
      output_fd_(std::exchange(other.output_fd_, -1)) {}

BridgeProcess::~BridgeProcess() {
  close_input();
  if (output_fd_ != -1) close(output_fd_);
}

void BridgeProcess::close_input() {
  if (input_fd_ == -1) return;
  close(input_fd_);
  input_fd_ = -1;
}

Result<int> BridgeProcess::wait() {
  int status = 0;
  while (waitpid(pid_, &status, 0) == -1) {
    if (errno != EINTR) return Error::os(errno);
  }
  pid_ = -1;
  return status;
}

std::string describe_wait_status(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const char* name = strsignal(WTERMSIG(status));
    return "signal " + std::to_string(WTERMSIG(status)) +
           (name ? std::string(" (") + name + ")" : "");
  }
  return "wait status " + std::to_string(status);
}

}  // namespace qlp::attach
