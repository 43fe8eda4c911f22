// A record of every frame of a session, both ways, for people debugging a parent.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "base/error.h"

namespace qlp::attach {

/// Writes one JSON line per frame:
///   {"time":"2026-01-02T03:04:05.678901Z","dir":"in","frame":{...}}
/// "in" is a frame the bridge reads, "out" one it writes. A line from the bridge that is not
/// JSON is kept as text ("raw") or, when not even UTF-8, as Base64 ("rawBase64"), so that
/// the trace itself always stays one valid JSON text per line.
class Trace {
 public:
  enum class Direction { kIn, kOut };

  /// Creates or truncates `path`.
  static Result<std::unique_ptr<Trace>> open(const std::string& path);
  ~Trace();
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  /// Appends one record at once, so a trace cut short by a crash ends on a whole line.
  /// Write failures are dropped: a trace must never end a session.
  void record(Direction direction, std::string_view frame_line);

  /// The record for `frame_line` as it would be written, at time `time` (without the line feed).
  static std::string format(Direction direction, std::string_view frame_line,
                            const std::string& time);

  /// The current time in RFC 3339 form, UTC, with microseconds.
  static std::string now();

 private:
  explicit Trace(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace qlp::attach
