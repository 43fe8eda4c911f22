#include "direct_echo.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace qlp::bench {

Result<std::unique_ptr<DirectTerminal>> DirectTerminal::start(const std::vector<std::string>& child,
                                                              char marker, int cpu) {
  std::vector<char*> argv;
  std::vector<std::string> args = child;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int master = -1;
  int slave = -1;
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 80;
  if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) return Error::os(errno);
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int error = errno;
    ::close(master);
    ::close(slave);
    return Error::os(error);
  }
  if (pid == 0) {
    if (cpu >= 0) {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(cpu, &one);
      ::sched_setaffinity(0, sizeof one, &one);
    }
    ::setsid();
    ::ioctl(slave, TIOCSCTTY, 0);
    ::dup2(slave, 0);
    ::dup2(slave, 1);
    ::dup2(slave, 2);
    if (slave > 2) ::close(slave);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(slave);
  std::unique_ptr<DirectTerminal> terminal(new DirectTerminal(master, pid));
  Result<void> ready = terminal->await(marker, Clock::now() + step_timeout());
  if (!ready) return std::move(ready).error().wrap("direct terminal did not start");
  return terminal;
}

DirectTerminal::~DirectTerminal() {
  ::kill(child_, SIGHUP);
  ::close(master_);
  while (::waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

Result<void> DirectTerminal::await(char byte, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd waiting{master_, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, left.count() < 0 ? 0 : static_cast<int>(left.count()));
    if (ready == 0) return Error("timed out waiting for the echo");
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Error::os(errno);
    }
    char got[64];
    const ssize_t n = ::read(master_, got, sizeof got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Error("terminal ended");
    if (got[n - 1] == byte) return {};
  }
}

Result<void> DirectTerminal::round_trip(char byte, Clock::time_point deadline) {
  for (;;) {
    const ssize_t n = ::write(master_, &byte, 1);
    if (n == 1) break;
    if (n < 0 && errno == EINTR) continue;
    return Error::os(errno);
  }
  return await(byte, deadline);
}

}  // namespace qlp::bench
