#include "pty/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "command/c_string_array.h"
#include "pty/close_fds.h"
#include "pty/owned_handle.h"
#include "pty/reserved_signals.h"

extern char** environ;

namespace qlp {
namespace {

constexpr char kErrorTag[4] = {'N', 'O', 'E', 'X'};
constexpr std::size_t kReportSize = 8;
constexpr char kScriptShell[] = "/bin/sh";

/// Everything the new process needs, as plain data prepared before the fork.
/// The pointers lead into CStringArray and Command objects that stay in place
/// until the parent has read the error pipe.
struct ChildPlan {
  const char* program;
  char* const* argv;
  /// The shell, the program and its arguments: for a program that is a
  /// script without a "#!" line.
  char* const* script_argv;
  char* const* envp;
  const char* working_dir;
  int stdio[3];
  int error_read_fd;
  int error_write_fd;
  bool set_mask;
  mode_t mask;
  bool controlling_terminal;
};

// N.B.: called after fork. Sends `err` (EINVAL when there is none) to the
// parent as a big-endian 32-bit number and "NOEX", then ends at once: none of
// this process's clean-up may run in the copy.
[[noreturn]] void report_and_exit(int error_fd, int err) noexcept {
  if (err == 0) err = EINVAL;
  std::uint32_t code = static_cast<std::uint32_t>(err);
  unsigned char bytes[kReportSize] = {static_cast<unsigned char>(code >> 24),
                                      static_cast<unsigned char>(code >> 16),
                                      static_cast<unsigned char>(code >> 8),
                                      static_cast<unsigned char>(code),
                                      kErrorTag[0],
                                      kErrorTag[1],
                                      kErrorTag[2],
                                      kErrorTag[3]};
  // Eight bytes are below PIPE_BUF, so one write delivers them whole or not at all.
  while (::write(error_fd, bytes, sizeof bytes) == -1 && errno == EINTR) {
  }
  ::_exit(1);
}

// N.B.: called after fork; the new process runs nothing else before exec.
// Plain system calls over the prepared plan: no allocation (the descriptor
// sweep excepted, see close_random_fds), no exceptions, no return.
[[noreturn]] void run_child(const ChildPlan& plan) noexcept {
  ::close(plan.error_read_fd);

  for (int target = 0; target < 3; ++target) {
    while (::dup2(plan.stdio[target], target) == -1) {
      if (errno != EINTR) report_and_exit(plan.error_write_fd, errno);
    }
  }

  if (::chdir(plan.working_dir) == -1) report_and_exit(plan.error_write_fd, errno);

  // This process ignores SIGPIPE; the program must not inherit that.
  if (::signal(SIGPIPE, SIG_DFL) == SIG_ERR) report_and_exit(plan.error_write_fd, errno);

  // An ignored disposition survives exec, so every signal goes back to its
  // default, not only the few a shell cares most about: a bridge started by
  // a parent that ignores SIGTSTP would otherwise break job control in the
  // program's shell. The C library refuses the signals it keeps for itself,
  // which then go back past it.
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    if (::signal(sig, SIG_DFL) == SIG_ERR) reset_reserved_signal(sig);
  }
  sigset_t empty;
  sigemptyset(&empty);
  (void)::sigprocmask(SIG_SETMASK, &empty, nullptr);

  if (::setsid() == -1) report_and_exit(plan.error_write_fd, errno);
  if (plan.controlling_terminal && ::ioctl(0, TIOCSCTTY, 0) == -1) {
    report_and_exit(plan.error_write_fd, errno);
  }

  // The error pipe's write end survives the sweep so that a failing exec can
  // still be reported; it is close-on-exec, so a successful exec closes it.
  close_random_fds(plan.error_write_fd);

  if (plan.set_mask) ::umask(plan.mask);

  environ = const_cast<char**>(plan.envp);
  ::execvp(plan.program, plan.argv);
  // A file with execute permission but no "#!" line is a script for the
  // shell, and glibc's and macOS's execvp run it so; musl's returns ENOEXEC.
  if (errno == ENOEXEC) ::execv(kScriptShell, plan.script_argv);
  // A program that cannot be executed (missing "#!" interpreter, no execute
  // permission, ...) is a failed start, not a program that ran and ended.
  report_and_exit(plan.error_write_fd, errno);
}

/// Waits for `pid` to end and reaps it.
void reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) == -1 && errno == EINTR) {
  }
}

}  // namespace

Result<pid_t> spawn_process(const Command& command, const Stdio& in, const Stdio& out,
                            const Stdio& err, const PreExec& pre_exec) {
  if (command.has_nul_byte()) {
    return Error::os_with_message(EINVAL, "nul byte found in provided data");
  }
  const CStringArray argv(command.argv());
  std::vector<std::string> script_strings{kScriptShell, command.program()};
  if (!command.argv().empty()) {
    script_strings.insert(script_strings.end(), command.argv().begin() + 1, command.argv().end());
  }
  const CStringArray script_argv(std::move(script_strings));
  // The block is the program's whole environment: program resolution always
  // clears the inherited one and lists every variable the program gets.
  const CStringArray envp(command.env_block());

  ChildPlan plan = {};
  plan.program = command.program().c_str();
  plan.argv = argv.get();
  plan.script_argv = script_argv.get();
  plan.envp = envp.get();
  plan.working_dir = command.working_dir().c_str();
  plan.stdio[0] = in.as_raw_fd();
  plan.stdio[1] = out.as_raw_fd();
  plan.stdio[2] = err.as_raw_fd();
  // This process keeps 0, 1 and 2 open from its start, so a duplicate is
  // never one of them, and dup2 onto 0, 1, 2 in turn cannot overwrite a
  // source that is still to be used.
  for (int fd : plan.stdio) QLP_CHECK(fd > 2, "a standard-stream source must be above 2");
  plan.set_mask = pre_exec.file_mode_mask.has_value();
  plan.mask = static_cast<mode_t>(pre_exec.file_mode_mask.value_or(0));
  plan.controlling_terminal = pre_exec.controlling_terminal;

  int pipe_fds[2];
  if (::pipe(pipe_fds) == -1) return Error::os(errno);
  OwnedHandle error_read(pipe_fds[0]);
  OwnedHandle error_write(pipe_fds[1]);
  // The process is single-threaded here, so no other thread can fork between
  // pipe and these calls and leak the ends; this works where pipe2 does not exist.
  if (auto set = set_cloexec(error_read.as_raw_fd()); !set) return Error::os(set.error().os_code());
  if (auto set = set_cloexec(error_write.as_raw_fd()); !set) return Error::os(set.error().os_code());
  plan.error_read_fd = error_read.as_raw_fd();
  plan.error_write_fd = error_write.as_raw_fd();

  // With every signal blocked across the fork, no handler of this process can
  // run in the new process before it has reset the dispositions; the new
  // process empties the mask itself once they are default. This process never
  // changes its environment, so no lock is needed to keep environ still.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  pid_t pid = ::fork();
  if (pid == 0) run_child(plan);
  int fork_error = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (pid == -1) return Error::os(fork_error);

  // The write end must close here, or the read below would never see end of
  // file. The new process holds the only other copy until exec closes it (a
  // successful start) or until it has written its report and ended. Reading to
  // end of file before returning closes the race in which the caller would
  // see a running process that is in fact about to fail its start.
  error_write.reset();
  unsigned char report[kReportSize];
  std::size_t got = 0;
  while (got < kReportSize) {
    ssize_t n = ::read(error_read.as_raw_fd(), report + got, kReportSize - got);
    if (n == 0) break;
    if (n == -1) {
      if (errno == EINTR) continue;
      int read_error = errno;
      // The outcome is unknown: make sure no process is left behind.
      ::kill(pid, SIGKILL);
      reap(pid);
      return Error::os(read_error);
    }
    got += static_cast<std::size_t>(n);
  }
  error_read.reset();

  if (got == 0) return pid;
  QLP_CHECK(got == kReportSize && std::memcmp(report + 4, kErrorTag, sizeof kErrorTag) == 0,
            "malformed start report on the error pipe");
  reap(pid);
  int code = static_cast<int>((std::uint32_t{report[0]} << 24) | (std::uint32_t{report[1]} << 16) |
                              (std::uint32_t{report[2]} << 8) | std::uint32_t{report[3]});
  return Error::os(code);
}

}  // namespace qlp
