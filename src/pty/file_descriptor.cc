#include "pty/file_descriptor.h"

#include <unistd.h>

#include <cerrno>

#include "base/write_all.h"

namespace qlp {

Result<std::size_t> FileDescriptor::read(std::span<std::uint8_t> buffer) const {
  ssize_t n = ::read(as_raw_fd(), buffer.data(), buffer.size());
  if (n == -1) return Error::os(errno);
  return static_cast<std::size_t>(n);
}

Result<std::size_t> FileDescriptor::write(std::string_view bytes) const {
  ssize_t n = ::write(as_raw_fd(), bytes.data(), bytes.size());
  if (n == -1) return Error::os(errno);
  return static_cast<std::size_t>(n);
}

Result<void> FileDescriptor::write_all(std::string_view bytes) const {
  return qlp::write_all(as_raw_fd(), bytes);
}

Result<FileDescriptor> FileDescriptor::try_clone() const {
  auto clone = handle_.try_clone();
  if (!clone) return clone.error();
  return FileDescriptor(std::move(clone).value());
}

Result<Stdio> FileDescriptor::as_stdio() const {
  auto clone = handle_.try_clone();
  if (!clone) return clone.error();
  return Stdio(std::move(clone).value());
}

}  // namespace qlp
