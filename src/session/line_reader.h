// Reads standard input as lines of UTF-8 text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"

namespace qlp {

/// Splits a stream of bytes, handed in piece by piece, into lines: a line ends
/// at "\n" (removed, with one "\r" before it); a last line without "\n" still
/// counts; there is no length limit; a line that is not UTF-8 is an error. It
/// does no I/O, so the same splitting serves a descriptor and a byte buffer.
/// Used by one thread only.
class LineSplitter {
 public:
  LineSplitter() = default;
  LineSplitter(const LineSplitter&) = delete;
  LineSplitter& operator=(const LineSplitter&) = delete;

  /// Appends the next bytes of the stream. Views from `next_line` become
  /// invalid.
  void append(std::string_view bytes);

  /// The next complete line, or nothing when the bytes so far hold no further
  /// "\n". With `at_end` (no more bytes will come) the bytes after the last
  /// "\n", if any, are the last line. A line that is not valid UTF-8 fails
  /// with "stream did not contain valid UTF-8" and is consumed all the same.
  /// The view stays valid until the next `append`.
  Result<std::optional<std::string_view>> next_line(bool at_end);

 private:
  std::string buffer_;
  std::size_t start_ = 0;    ///< First byte of buffer_ not yet returned.
  std::size_t scanned_ = 0;  ///< Bytes from start_ already searched for "\n".
};

/// Reads a descriptor's lines with a LineSplitter. Reads interrupted by a
/// signal are retried; a descriptor that is not open reads as end of input.
/// Used by one thread only.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  /// The next line, nothing at end of input, or the read error ("stream did
  /// not contain valid UTF-8" for bytes that are not UTF-8). The view stays
  /// valid until the next call.
  Result<std::optional<std::string_view>> next_line();

 private:
  /// Reads more bytes into the splitter; false at end of input.
  Result<bool> fill();

  int fd_;
  LineSplitter lines_;
  bool eof_ = false;
};

}  // namespace qlp
