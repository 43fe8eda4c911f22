#include "pty/unix_child.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "text/utf8.h"

namespace qlp {

ChildKiller::~ChildKiller() = default;

std::string ProcessSignaller::debug_string() const {
  if (!pid_) return "ProcessSignaller { pid: None }";
  return "ProcessSignaller { pid: Some(" + std::to_string(*pid_) + ") }";
}

Result<void> ProcessSignaller::kill() { return send_signal(SIGHUP); }

Result<void> ProcessSignaller::send_signal(int signal) {
  if (!pid_) return {};
  std::unique_lock<std::mutex> lock;
  if (state_) {
    lock = std::unique_lock<std::mutex>(state_->mutex);
    if (state_->reaped) return {};
  }
  if (::kill(static_cast<pid_t>(*pid_), signal) != 0) return Error::os(errno);
  return {};
}

std::unique_ptr<ChildKiller> ProcessSignaller::clone_killer() const {
  return std::make_unique<ProcessSignaller>(pid_, state_);
}

std::string UnixChild::debug_string() const {
  std::string status = status_ ? "Some(" + std::to_string(*status_) + ")" : "None";
  return "UnixChild { pid: " + std::to_string(pid_) + ", status: " + status + " }";
}

std::unique_ptr<ChildKiller> UnixChild::clone_killer() const {
  return std::make_unique<ProcessSignaller>(static_cast<std::uint32_t>(pid_), state_);
}

std::optional<std::uint32_t> UnixChild::process_id() const {
  return static_cast<std::uint32_t>(pid_);
}

Result<int> UnixChild::reap() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  // The child has exited (waitid said so), so this returns at once. The flag
  // is set whatever the outcome: after a failure the id may already be free.
  state_->reaped = true;
  int status = 0;
  for (;;) {
    if (::waitpid(pid_, &status, 0) != -1) break;
    int err = errno;
    if (err != EINTR) return Error::os(err);
  }
  status_ = status;
  return status;
}

Result<std::optional<ExitStatus>> UnixChild::try_wait() {
  if (status_) return std::optional<ExitStatus>(exit_status_from_wait_status(*status_));
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == -1) {
    return Error::os(errno);
  }
  // With WNOHANG and no exited child, si_pid stays 0.
  if (info.si_pid == 0) return std::optional<ExitStatus>();
  auto status = reap();
  if (!status) return std::move(status).error();
  return std::optional<ExitStatus>(exit_status_from_wait_status(*status));
}

Result<ExitStatus> UnixChild::wait() {
  if (status_) return exit_status_from_wait_status(*status_);
  // Blocks without the lock, so that killers stay usable meanwhile.
  siginfo_t info;
  for (;;) {
    std::memset(&info, 0, sizeof info);
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != -1) break;
    int err = errno;
    if (err != EINTR) return Error::os(err);
  }
  auto status = reap();
  if (!status) return std::move(status).error();
  return exit_status_from_wait_status(*status);
}

Result<void> UnixChild::signal_unless_reaped(int signal) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->reaped) return {};
  if (::kill(pid_, signal) != 0) return Error::os(errno);
  return {};
}

Result<void> UnixChild::kill() {
  if (auto sent = signal_unless_reaped(SIGHUP); !sent) return sent;
  constexpr int kChecks = 5;
  for (int check = 0; check < kChecks; ++check) {
    if (check > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto ended = try_wait();
    // A failed check counts as one that found the child still running.
    if (ended && ended->has_value()) return {};
  }
  return signal_unless_reaped(SIGKILL);
}

ExitStatus exit_status_from_wait_status(int status) {
  int signal = status & 0x7F;
  if (signal >= 1 && signal <= 126) {
    const char* description = ::strsignal(signal);
    if (description == nullptr) return ExitStatus{1, "Signal " + std::to_string(signal), signal};
    return ExitStatus{1, to_utf8_lossy(description), signal};
  }
  if (signal == 0) return ExitStatus{static_cast<std::uint32_t>((status >> 8) & 0xFF), {}, 0};
  return ExitStatus{1, {}, 0};
}

}  // namespace qlp
