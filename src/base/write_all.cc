#include "base/write_all.h"

#include <unistd.h>

#include <cerrno>

namespace qlp {

Result<void> write_all(int fd, std::string_view bytes, WriteFunction write_fn) {
  if (write_fn == nullptr) write_fn = ::write;
  while (!bytes.empty()) {
    const ssize_t written = write_fn(fd, bytes.data(), bytes.size());
    if (written < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      return Error::os(error);
    }
    if (written == 0) return Error("failed to write whole buffer");
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

}  // namespace qlp
