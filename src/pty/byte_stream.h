// The byte source and byte sink through which the session uses the terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace qlp {

/// Something to read bytes from. Used by one thread at a time.
class ByteSource {
 public:
  virtual ~ByteSource();

  /// One read into `buffer`: the count, 0 at end of file, or the OS error
  /// (Error::os_code keeps the number, so a caller can retry EINTR).
  virtual Result<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
  virtual int as_raw_fd() const = 0;

  /// Reads into the first non-empty buffer only, with one read.
  Result<std::size_t> read_vectored(std::span<const std::span<std::uint8_t>> buffers);
  /// Fills `buffer` completely, retrying EINTR; end of file first fails with
  /// "failed to fill whole buffer".
  Result<void> read_exact(std::span<std::uint8_t> buffer);
  /// Appends everything up to end of file to `out`, retrying EINTR; returns the count added.
  Result<std::size_t> read_to_end(std::vector<std::uint8_t>& out);
};

/// Something to write bytes to. Used by one thread at a time.
class ByteSink {
 public:
  virtual ~ByteSink();

  /// One write: the count written, or the OS error.
  virtual Result<std::size_t> write(std::string_view bytes) = 0;
  /// Every byte, or the first error; EINTR is retried.
  virtual Result<void> write_all(std::string_view bytes) = 0;
  virtual Result<void> flush() = 0;
  virtual int as_raw_fd() const = 0;
};

}  // namespace qlp
