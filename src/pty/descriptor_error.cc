#include "pty/descriptor_error.h"

namespace qlp::descriptor {

std::string Error::to_string() const {
  switch (kind_) {
    case ErrorKind::Dup:
      return "dup of fd " + std::to_string(fd_) + " failed";
    case ErrorKind::Fcntl:
      return "fcntl read failed";
    case ErrorKind::Cloexec:
      return "failed to set cloexec";
  }
  QLP_CHECK(false, "unknown descriptor error kind");
}

qlp::Error Error::into_error() const { return qlp::Error(to_string(), qlp::Error::os(source_)); }

}  // namespace qlp::descriptor
