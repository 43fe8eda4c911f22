// The two background threads: terminal output to data frames, and the
// child's end to the exit frame.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "frames/shared_stdout.h"
#include "pty/child.h"
#include "pty/pty_system.h"

namespace qlp {

/// What the output pump tells the driver, so that an orderly shutdown can
/// wait for the terminal to be drained. Any thread.
class PumpProgress {
 public:
  /// Called by the pump after every successful read.
  void note_read() { reads_.fetch_add(1, std::memory_order_relaxed); }
  /// Called by the pump before and after writing each frame. While a slow
  /// parent holds the pump in a write, the terminal is not being read, so
  /// that time must not count as the terminal being quiet.
  void note_writing(bool writing) { writing_.store(writing, std::memory_order_relaxed); }
  /// Called by the pump when its loop has ended.
  void note_end();

  /// Waits until the pump has ended, or the terminal has had nothing to read
  /// for `quiet` (time spent writing a frame does not count), or `limit` has
  /// passed. True when the pump ended.
  ///
  /// Quiet only counts while `held_elsewhere` says that another process still
  /// has the terminal open. Once nobody does, the pump is bound to reach end
  /// of stream as soon as it runs, and a pump that merely had no CPU for a
  /// while (a loaded machine) must not cost the child's last output.
  bool wait_for_end(std::chrono::milliseconds quiet, std::chrono::milliseconds limit,
                    const std::function<bool()>& held_elsewhere = [] { return true; });

 private:
  std::atomic<std::uint64_t> reads_{0};
  std::atomic<bool> writing_{false};
  std::mutex mutex_;
  std::condition_variable ended_changed_;
  bool ended_ = false;  ///< Guarded by mutex_.
};

/// Reads the terminal until end of stream or a read error, writing one data
/// frame per read. Runs on its own thread and owns `reader`.
void pump_output(std::unique_ptr<ByteSource> reader, std::shared_ptr<SharedStdout> out,
                 std::shared_ptr<PumpProgress> progress = nullptr);

/// Waits for the child and writes its exit frame (code 1 when waiting fails),
/// with the name of the signal that ended it when `name_signal` is set and the
/// system has a name for it. Runs on its own thread and owns `child`.
void watch_exit(std::unique_ptr<Child> child, std::shared_ptr<SharedStdout> out,
                bool name_signal = false);

}  // namespace qlp
