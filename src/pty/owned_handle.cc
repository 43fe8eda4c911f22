#include "pty/owned_handle.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/errno_table.h"

namespace qlp {

OwnedHandle& OwnedHandle::operator=(OwnedHandle&& other) noexcept {
  if (this != &other) reset(other.acquire());
  return *this;
}

int OwnedHandle::as_raw_fd() const {
  QLP_CHECK(fd_ != -1, "descriptor of an empty OwnedHandle");
  return fd_;
}

int OwnedHandle::acquire() noexcept {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void OwnedHandle::reset(int fd) noexcept {
  close_now();
  fd_ = fd;
}

void OwnedHandle::close_now() noexcept {
  if (fd_ == -1) return;
  // The standard streams belong to the process, not to a handle; closing one
  // here would let the next open take its number and receive stray output.
  QLP_CHECK(fd_ > 2, "an OwnedHandle must not close descriptor 0, 1 or 2");
  // EINTR from close still means closed on Linux and macOS, and a retry could
  // close a descriptor another thread has just been given, so the result is ignored.
  ::close(fd_);
  fd_ = -1;
}

descriptor::Result<OwnedHandle> OwnedHandle::try_clone() const {
  int fd = ::fcntl(as_raw_fd(), F_DUPFD_CLOEXEC, 0);
  if (fd != -1) return OwnedHandle(fd);
  int err = errno;
  // Some kernels know fcntl but not this command; they answer EINVAL.
  if (err == EINVAL) return non_atomic_dup();
  return descriptor::Error::dup(fd_, err);
}

descriptor::Result<void> OwnedHandle::cloexec() const {
  int flags = ::fcntl(as_raw_fd(), F_GETFD);
  if (flags == -1) return descriptor::Error::fcntl(errno);
  if (::fcntl(fd_, F_SETFD, flags | FD_CLOEXEC) == -1) return descriptor::Error::cloexec(errno);
  return {};
}

descriptor::Result<OwnedHandle> OwnedHandle::non_atomic_dup() const {
  int fd = ::dup(as_raw_fd());
  if (fd == -1) return descriptor::Error::dup(fd_, errno);
  OwnedHandle handle(fd);
  // On failure the new handle goes out of scope and closes the duplicate.
  if (auto set = handle.cloexec(); !set) return set.error();
  return handle;
}

Result<void> cloexec(int fd) {
  int flags = ::fcntl(fd, F_GETFD);
  if (flags == -1) {
    int err = errno;
    return Error("fcntl to read flags failed: " + os_error_debug(err));
  }
  if (::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == -1) {
    int err = errno;
    return Error("fcntl to set CLOEXEC failed: " + os_error_debug(err));
  }
  return {};
}

}  // namespace qlp
