// Reads standard input as lines of UTF-8 text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "error.h"

namespace qlp {

/// Splits a descriptor's bytes into lines: a line ends at "\n" (removed, with
/// one "\r" before it); a last line without "\n" still counts; there is no
/// length limit. Used by one thread only.
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
  /// Reads more bytes into buffer_; false at end of input.
  Result<bool> fill();

  int fd_;
  std::string buffer_;
  std::size_t start_ = 0;  ///< First byte of buffer_ not yet returned.
  std::size_t scanned_ = 0;  ///< Bytes from start_ already searched for "\n".
  bool eof_ = false;
};

}  // namespace qlp
