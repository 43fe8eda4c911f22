// The frame emitter: every line the bridge writes to its parent goes through here, whole and in one
// piece, whichever thread writes it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string_view>
#include <utility>

#include "base/error.h"
#include "base/write_all.h"
#include "frames/output_frame.h"

namespace qlp {

/// The most terminal output one data frame carries: what the output pump reads at once, and
/// what emit_data_chunk builds on the stack without allocating.
constexpr std::size_t kDataChunkSize = 8192;

class SharedStdout;

namespace detail {

/// Holds the process-wide stdout lock for the writing of one line. If it is destroyed while an
/// exception unwinds through it, the handle it was taken for becomes poisoned.
class FrameLock {
 public:
  explicit FrameLock(SharedStdout& out);
  ~FrameLock();
  FrameLock(const FrameLock&) = delete;
  FrameLock& operator=(const FrameLock&) = delete;

  bool poisoned() const;
  int fd() const;

 private:
  SharedStdout& out_;
  int uncaught_at_entry_;
};

}  // namespace detail

/// The one handle on standard output through which frames are written, shared by reference count
/// between the threads that write frames.
///
/// Threading: any thread may emit through it at any time. Every line is built in a buffer of the
/// writing thread, then written whole under one process-wide stdout lock that emit_error and
/// the process's exit take as well; lines therefore never interleave, and appear in the order in which
/// their writers took the lock.
///
/// State: usable at creation; poisoned for good once code holding the lock for this handle has
/// unwound (an exception escaped while a line was being written). A poisoned handle writes nothing
/// more. A failed write does not poison.
class SharedStdout {
 public:
  /// A handle writing to `fd`, standard output unless a test says otherwise. The handle does not
  /// own the descriptor, which must stay open while the handle is used.
  static std::shared_ptr<SharedStdout> create(int fd = 1);

  SharedStdout(const SharedStdout&) = delete;
  SharedStdout& operator=(const SharedStdout&) = delete;

 private:
  friend class detail::FrameLock;
  explicit SharedStdout(int fd) : fd_(fd) {}

  const int fd_;
  /// Guarded by the process-wide stdout lock.
  bool poisoned_ = false;
};

/// Runs `write_line(fd)`, which returns Result<void>, under the process-wide stdout lock, unless
/// `out` is poisoned: then the lock is released at once and the result is "stdout lock poisoned".
/// If `write_line` throws, `out` becomes poisoned and the exception propagates. The emitters below
/// are built on it; tests use it to provoke an abnormal failure.
template <typename WriteLine>
Result<void> with_frame_lock(SharedStdout& out, WriteLine&& write_line) {
  {
    detail::FrameLock lock(out);
    if (!lock.poisoned()) return std::forward<WriteLine>(write_line)(lock.fd());
  }
  return Error("stdout lock poisoned");
}

/// Writes the frame's line (append_frame_line) in one write-all under the lock. Since standard
/// output is written with write(2) and no user-space buffer, the line has left the process when
/// this returns. Fails with "stdout lock poisoned" (nothing written) or with the write's error.
Result<void> emit_frame(SharedStdout& out, const OutputFrame& frame);

/// The output pump's path: the same bytes as emit_frame of a data frame carrying the Base64 text
/// of `chunk`, encoded straight into a buffer the calling thread reuses, so that no allocation
/// happens per chunk once the buffer has grown.
Result<void> emit_data_chunk(SharedStdout& out, std::string_view chunk);

/// Writes the error frame carrying `message` to standard output, exactly as emit_frame would,
/// under the same process-wide lock. Needs no handle: it works when the session's handle is
/// poisoned or gone, and its line is never mixed into another frame's.
Result<void> emit_error(std::string_view message);

namespace detail {

/// Writes `line` (when not empty) and ends the process with `status`, under the process-wide
/// stdout lock taken for good: any line being written by another thread is finished first, no new
/// one starts, and _exit runs no destructor or exit handler under threads that may still be
/// writing. What exit_process and exit_process_with_error are made of.
[[noreturn]] void exit_under_frame_lock(int status, std::string_view line) noexcept;

}  // namespace detail

}  // namespace qlp
