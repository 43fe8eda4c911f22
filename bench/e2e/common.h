// The pieces that every workload of the end-to-end benchmark shares: the size limit of a data
// frame, the programs run in the terminal, the splitting of a relay's output into lines, the
// checks a parent makes of a flood's lines and of a session's start, and the figures' arithmetic
// and form. Each is here once, so that the workloads cannot come to check or count differently.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace qlp::bench {

using Clock = std::chrono::steady_clock;

struct OutputLine;
class RelayProcess;

/// The most bytes one data frame carries: the bridge reads its terminal 8192 bytes at a time, and
/// the baseline relays do the same. A bigger frame is a fault of the relay.
constexpr std::size_t kMaxFrameBytes = 8192;

/// The flood's program: the file at `path` written to a terminal with output processing off.
std::vector<std::string> flood_child(const std::string& path);
/// The echo's program, a raw and silent `cat`, which prints kEchoReady once it is both.
std::vector<std::string> echo_child();
constexpr char kEchoReady = 'R';

/// A byte stream cut into lines. Bytes are read into space() and counted in with commit(); next()
/// hands out each whole line without its "\n".
class LineSplitter {
 public:
  /// `read_size`: the least room that space() offers.
  explicit LineSplitter(std::size_t read_size) : read_size_(read_size), buffer_(2 * read_size) {}

  /// Room for the next read, at least `read_size` bytes; moving what is left to the front
  /// invalidates the lines handed out before.
  std::span<char> space();
  void commit(std::size_t count) { end_ += count; }
  /// The next whole line, valid until the next space(); nothing until one is whole.
  std::optional<std::string_view> next();
  /// Whether bytes of a line without its "\n" are held.
  bool partial() const { return end_ > begin_; }

 private:
  std::size_t read_size_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;    ///< First byte not yet handed out.
  std::size_t end_ = 0;      ///< One past the last byte read.
  std::size_t scanned_ = 0;  ///< Bytes from begin_ already searched for "\n".
};

/// Reads lines until the ready frame and a data frame ending in `marker` have both come, in
/// either order (the bridge may forward output before its ready frame); with `marker` 0, until
/// the ready frame. Any other line is an error.
Result<void> await_ready_and(RelayProcess& relay, char marker);

/// What a parent checks in every line of one relay's flood: one ready frame, one exit frame after
/// it, and data frames of 1 to kMaxFrameBytes bytes, wherever they come, that continue the file
/// exactly. Any other line is an error.
class FloodCheck {
 public:
  explicit FloodCheck(std::span<const unsigned char> expected) : expected_(expected) {}

  /// Reads the next line of `relay` and checks it.
  Result<OutputLine> next(RelayProcess& relay, Clock::time_point deadline);
  /// Every byte arrived and the exit frame came.
  bool done() const { return exit_code_.has_value() && received_ == expected_.size(); }
  std::size_t received() const { return received_; }
  std::optional<std::uint32_t> exit_code() const { return exit_code_; }

 private:
  std::span<const unsigned char> expected_;
  std::size_t received_ = 0;
  bool ready_ = false;
  std::optional<std::uint32_t> exit_code_;
};

/// The value at fraction `q` (0 to 1) of the sorted values, by nearest rank; 0 when empty.
double quantile(std::vector<double> values, double q);
inline double median(std::vector<double> values) { return quantile(std::move(values), 0.5); }
/// Median over rounds of a[i] / b[i]; nothing when either is missing or b has a zero.
std::optional<double> paired_ratio(const std::vector<double>& a, const std::vector<double>& b);
/// A figure as the tables show it: three significant digits at most, none after the point from
/// 100 on.
std::string format(double value);

}  // namespace qlp::bench
