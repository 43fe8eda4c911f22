#include "pty/owned_handle.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <string>

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

namespace {

Error dup_failed(int fd, int errnum) {
  return Error::os(errnum).wrap("dup of fd " + std::to_string(fd) + " failed");
}

}  // namespace

Result<OwnedHandle> OwnedHandle::try_clone() const {
  int fd = ::fcntl(as_raw_fd(), F_DUPFD_CLOEXEC, 0);
  if (fd != -1) return OwnedHandle(fd);
  int err = errno;
  // Some kernels know fcntl but not this command; they answer EINVAL.
  if (err == EINVAL) return non_atomic_dup();
  return dup_failed(fd_, err);
}

Result<OwnedHandle> OwnedHandle::non_atomic_dup() const {
  int fd = ::dup(as_raw_fd());
  if (fd == -1) return dup_failed(fd_, errno);
  OwnedHandle handle(fd);
  // On failure the new handle goes out of scope and closes the duplicate.
  if (auto set = set_cloexec(fd); !set) return std::move(set).error();
  return handle;
}

Result<void> set_cloexec(int fd) {
  int flags = ::fcntl(fd, F_GETFD);
  if (flags == -1) return Error::os(errno, "fcntl to read flags failed");
  if (::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == -1) {
    return Error::os(errno, "fcntl to set CLOEXEC failed");
  }
  return {};
}

}  // namespace qlp
