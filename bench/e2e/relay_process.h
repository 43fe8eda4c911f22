// A relay under measurement, the bridge or the raw baseline, driven as a parent drives the
// bridge: a pipe on its standard input, a pipe on its standard output, frames as lines.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "common.h"

namespace qlp::bench {

/// The bridge, the raw baseline, and the relay of the bridge's design on Python's standard library
/// (driven with the bridge's frames).
enum class RelayKind { bridge, baseline, python };

/// One output line: the frame it holds, or `unknown` for a line that is none of the four.
struct OutputLine {
  enum class Type { ready, data, exit, error, unknown };
  Type type = Type::unknown;
  std::string bytes;       ///< The decoded bytes of a data frame.
  std::uint32_t code = 0;  ///< The code of an exit frame.
  std::string_view text;   ///< The whole line without its "\n".
};

/// The programs the benchmark compares, and where they run.
struct RelayPrograms {
  std::string bridge;
  std::string baseline;
  std::string python;  ///< The script, run by python3.
  /// The one CPU a relay and its child are started on, or -1 for wherever the scheduler likes.
  int relay_cpu = -1;
  /// The baseline is another build of the bridge (driven with frames like the bridge), not the raw
  /// relay: to compare two builds side by side.
  bool baseline_is_bridge = false;
};

/// One running relay. Used by one thread.
class RelayProcess {
 public:
  /// Starts a relay of `kind` whose terminal runs `child` (program, then arguments). The first
  /// line is already waiting on its standard input when it starts: the spawn frame for the
  /// bridge, and the same line for the baseline, which only waits for it.
  static Result<std::unique_ptr<RelayProcess>> start(RelayKind kind, const RelayPrograms& programs,
                                                     const std::vector<std::string>& child);
  /// Kills and reaps a relay that has not been finished.
  ~RelayProcess();
  RelayProcess(const RelayProcess&) = delete;
  RelayProcess& operator=(const RelayProcess&) = delete;

  /// Sends terminal input: an input frame to the bridge, the bytes themselves to the baseline.
  Result<void> send_input(std::string_view bytes);
  /// Ends the relay's standard input, which ends its session.
  void close_input();

  /// The next output line, or nothing once standard output has ended; fails when `deadline`
  /// passes first. The line's views stay valid until the next call.
  Result<std::optional<OutputLine>> next_line(Clock::time_point deadline);

  /// Ends input, reads standard output to its end and reaps the relay; its wait status. When
  /// `deadline` passes first, the relay is killed and the result is an error.
  Result<int> finish(Clock::time_point deadline);
  /// finish() within a step's deadline, failing unless the relay exits with status 0.
  Result<void> finish_cleanly();

  pid_t pid() const { return pid_; }
  RelayKind kind() const { return kind_; }

 private:
  RelayProcess(RelayKind kind, bool raw_input, pid_t pid, int input_fd, int output_fd);
  /// Reads more output; false at end of output.
  Result<bool> fill(Clock::time_point deadline);

  RelayKind kind_;
  bool raw_input_;  ///< Terminal input goes as bytes, not frames (the raw baseline).
  pid_t pid_;
  int input_fd_;
  int output_fd_;
  bool reaped_ = false;
  LineSplitter lines_;
  std::string frame_;        ///< Reused for input frames.
};

/// Deadlines: a whole flood, and any one step (a start, a frame, an end). Generous, since a
/// shared machine can stall, but a hung relay must still end the run. Both stretch by
/// QLP_TEST_TIMEOUT_MULTIPLIER, which sanitizer builds set for the smoke run.
std::chrono::milliseconds run_timeout();
std::chrono::milliseconds step_timeout();

/// The error for an output line that has no place where it came.
Error unexpected_line(const OutputLine& line);

}  // namespace qlp::bench
