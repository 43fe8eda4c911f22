// A descriptor on one side of a terminal pair.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/error.h"
#include "pty/byte_stream.h"
#include "pty/file_descriptor.h"
#include "pty/pty_size.h"

namespace qlp {

/// Owns one terminal descriptor. As a byte source it reads EIO as end of file;
/// it also carries the window-size operations. Reads block, also on the
/// controlling side, whose descriptor does not (see UnixPtySystem::openpty).
class PtyFd final : public ByteSource {
 public:
  explicit PtyFd(FileDescriptor fd) : fd_(std::move(fd)) {}

  /// One read. EIO is a count of 0: Linux reports EIO on the master once every
  /// holder of the slave has gone, which for the reader is simply the end of
  /// the child's output. A descriptor set not to block is waited on until
  /// there is something to read. Every other error, EINTR included, is
  /// returned as is.
  Result<std::size_t> read(std::span<std::uint8_t> buffer) override;
  int as_raw_fd() const override { return fd_.as_raw_fd(); }

  const FileDescriptor& fd() const { return fd_; }

  /// TIOCSWINSZ; fails with "failed to ioctl(TIOCSWINSZ): " and the OS error's debug form.
  Result<void> set_size(PtySize size) const;
  /// TIOCGWINSZ; fails with "failed to ioctl(TIOCGWINSZ): " and the OS error's debug form.
  Result<PtySize> get_size() const;

 private:
  FileDescriptor fd_;
};

}  // namespace qlp
