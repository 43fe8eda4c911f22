// The POSIX child record and the killer handed out for it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "pty/child.h"

namespace qlp {

/// Whether the child's process id has been given back to the system. Shared
/// by a UnixChild and every ProcessSignaller made from it.
///
/// Once a child is reaped its id is free for the system to hand to an
/// unrelated process, so a hang-up sent after that could hit a stranger. The
/// waiter therefore first waits without reaping (waitid with WNOWAIT: the
/// exited child stays a zombie and keeps its id), then marks the child reaped
/// and reaps it inside one critical section; a killer signals only inside the
/// same lock and only while the flag is clear. A signal thus always reaches
/// either the child or its zombie, never a recycled id. A pidfd would give the
/// same guarantee but exists on Linux only; this works on every POSIX system.
struct ReapState {
  std::mutex mutex;
  /// Guarded by `mutex`. Set in the same critical section that reaps the child.
  bool reaped = false;
};

/// Sends signals to one process id. Any thread; signalling touches only the
/// shared ReapState.
class ProcessSignaller final : public ChildKiller {
 public:
  /// `state` may be null: then nothing guards against a reaped id.
  explicit ProcessSignaller(std::optional<std::uint32_t> pid,
                            std::shared_ptr<ReapState> state = nullptr)
      : pid_(pid), state_(std::move(state)) {}

  std::string debug_string() const override;
  /// SIGHUP to the process id, once, with no waiting and no escalation.
  /// Without a pid, or once the child has been reaped, nothing is sent and the
  /// result is success.
  Result<void> kill() override;
  std::unique_ptr<ChildKiller> clone_killer() const override;
  /// `signal` to the process id, with the same guard against a reaped id as kill().
  Result<void> send_signal(int signal);

  std::optional<std::uint32_t> pid() const { return pid_; }

 private:
  std::optional<std::uint32_t> pid_;
  std::shared_ptr<ReapState> state_;
};

/// A started process: its id and, once reaped, its raw wait status. Moves to
/// the exit watcher; used by one thread at a time.
class UnixChild final : public Child {
 public:
  explicit UnixChild(pid_t pid) : pid_(pid), state_(std::make_shared<ReapState>()) {}

  std::string debug_string() const override;
  /// SIGHUP; then up to five checks 50 ms apart; then SIGKILL if still running.
  Result<void> kill() override;
  std::unique_ptr<ChildKiller> clone_killer() const override;
  Result<std::optional<ExitStatus>> try_wait() override;
  Result<ExitStatus> wait() override;
  std::optional<std::uint32_t> process_id() const override;

 private:
  /// Reaps the exited (not yet reaped) child under the lock and caches its status.
  Result<int> reap();
  /// `signal` to the child unless it has been reaped.
  Result<void> signal_unless_reaped(int signal);

  pid_t pid_;
  /// The raw wait status; absent until the child is reaped, then fixed.
  std::optional<int> status_;
  std::shared_ptr<ReapState> state_;
};

/// Converts a raw wait status: an exit gives its code; a signal gives code 1,
/// the platform's description of the signal and its number.
ExitStatus exit_status_from_wait_status(int status);

}  // namespace qlp
