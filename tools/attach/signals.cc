#include "attach/signals.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <vector>

#include "attach/raw_terminal.h"

namespace qlp::attach {
namespace {

int g_event_write_fd = -1;

constexpr int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGSEGV,
                                 SIGBUS, SIGFPE,  SIGILL, SIGABRT};
constexpr int kStopSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};

void notify() noexcept {
  int saved_errno = errno;
  char byte = 'w';
  // The pipe is non-blocking: when it is full, a wake-up is already pending.
  ssize_t ignored = write(g_event_write_fd, &byte, 1);
  (void)ignored;
  errno = saved_errno;
}

void on_window_change(int) { notify(); }

void on_fatal(int sig) {
  leave_raw_mode();
  signal(sig, SIG_DFL);
  // Blocked while this handler runs, so it is delivered, with its default action, on return.
  raise(sig);
}

void on_stop(int sig) {
  suspend_raw_mode();
  signal(sig, SIG_DFL);
  raise(sig);
}

/// sigaction with restarting system calls; async-signal-safe. Returns 0 or -1 with errno.
int install_handler(int sig, void (*handler)(int)) noexcept {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return sigaction(sig, &action, nullptr);
}

void on_continue(int) {
  int saved_errno = errno;
  // on_stop gave these back their default action to stop; catch them again.
  for (int sig : kStopSignals) install_handler(sig, on_stop);
  errno = saved_errno;
  resume_raw_mode();
  notify();
}

Result<void> make_nonblocking_cloexec(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) return Error::os(errno);
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) == -1) return Error::os(errno);
  return {};
}

}  // namespace

Result<int> install_signal_handlers() {
  int fds[2];
  if (pipe(fds) != 0) return Error::os(errno);
  for (int fd : fds) {
    if (auto made = make_nonblocking_cloexec(fd); !made) return std::move(made).error();
  }
  g_event_write_fd = fds[1];

  struct Entry {
    int sig;
    void (*handler)(int);
  };
  std::vector<Entry> entries = {{SIGWINCH, on_window_change}, {SIGCONT, on_continue}};
  for (int sig : kFatalSignals) entries.push_back({sig, on_fatal});
  for (int sig : kStopSignals) entries.push_back({sig, on_stop});
  for (const auto& entry : entries) {
    if (install_handler(entry.sig, entry.handler) != 0) return Error::os(errno);
  }
  if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) return Error::os(errno);
  return fds[0];
}

void drain_signal_events(int fd) {
  char buffer[64];
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
}

}  // namespace qlp::attach
