// The one owner of a raw descriptor, and the close-on-exec helper.
#pragma once

#include "base/error.h"

namespace qlp {

/// Owns one descriptor exclusively and closes it on release; -1 means empty.
/// Move-only: a copy would close the same descriptor twice.
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(int fd) : fd_(fd) {}
  OwnedHandle(OwnedHandle&& other) noexcept : fd_(other.acquire()) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept;
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { close_now(); }

  bool valid() const { return fd_ != -1; }
  /// The descriptor; asking an empty handle is a programming fault.
  int as_raw_fd() const;
  /// Gives the descriptor away; the handle is empty afterwards.
  int acquire() noexcept;
  /// Closes the held descriptor (if any) and takes `fd` instead.
  void reset(int fd = -1) noexcept;

  /// A new handle on the lowest free descriptor, close-on-exec from birth. Fails with
  /// "dup of fd N failed", the OS error as its cause and its number kept.
  Result<OwnedHandle> try_clone() const;
  /// dup, then close-on-exec as a second step: for platforms without F_DUPFD_CLOEXEC.
  Result<OwnedHandle> non_atomic_dup() const;

 private:
  void close_now() noexcept;

  int fd_ = -1;
};

/// Sets close-on-exec on `fd`: the one place that does. Fails with "fcntl to read flags failed"
/// or "fcntl to set CLOEXEC failed" in front of the OS error (Error::os with a context).
Result<void> set_cloexec(int fd);

}  // namespace qlp
