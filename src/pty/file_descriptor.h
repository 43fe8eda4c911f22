// A descriptor with reading, writing and duplication on top of its owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/error.h"
#include "pty/owned_handle.h"

namespace qlp {

/// A descriptor handed, owned, to a child process as one of its standard streams.
class Stdio {
 public:
  explicit Stdio(OwnedHandle fd) : fd_(std::move(fd)) {}
  int as_raw_fd() const { return fd_.as_raw_fd(); }

 private:
  OwnedHandle fd_;
};

/// One owned descriptor. Reads and writes are single system calls; errors keep
/// the OS error number (Error::os_code).
class FileDescriptor {
 public:
  explicit FileDescriptor(OwnedHandle handle) : handle_(std::move(handle)) {}

  int as_raw_fd() const { return handle_.as_raw_fd(); }
  const OwnedHandle& handle() const { return handle_; }

  Result<std::size_t> read(std::span<std::uint8_t> buffer) const;
  Result<std::size_t> write(std::string_view bytes) const;
  /// Writes every byte, retrying EINTR; a write of 0 bytes fails with
  /// "failed to write whole buffer". Bytes already written stay written.
  Result<void> write_all(std::string_view bytes) const;

  /// A FileDescriptor on a close-on-exec duplicate.
  Result<FileDescriptor> try_clone() const;
  /// A duplicate handed over as a child's standard stream; this one stays open.
  Result<Stdio> as_stdio() const;

 private:
  OwnedHandle handle_;
};

}  // namespace qlp
