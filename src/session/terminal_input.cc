#include "session/terminal_input.h"

#include <poll.h>

#include <cerrno>

namespace qlp {

bool terminal_gone(int write_error) {
  // Linux and macOS both answer EIO to a write on the controlling side once no process holds
  // the other side; nothing else means that the program has gone.
  return write_error == EIO;
}

Result<void> write_input(ByteSink& writer, std::string_view bytes) {
  const int fd = writer.as_raw_fd();
  while (!bytes.empty()) {
    pollfd waiting{fd, POLLOUT, 0};
    int ready = ::poll(&waiting, 1, -1);
    if (ready == -1) {
      if (errno == EINTR) continue;
      return Error::os(errno);
    }
    if (waiting.revents & POLLHUP) return {};
    Result<std::size_t> wrote = writer.write(bytes.substr(0, kInputChunk));
    if (!wrote) {
      if (terminal_gone(wrote.error().os_code())) return {};
      // A full terminal (its controlling side does not block): wait for room or its end.
      const int code = wrote.error().os_code();
      if (code == EINTR || code == EAGAIN || code == EWOULDBLOCK) continue;
      return std::move(wrote).error();
    }
    if (*wrote == 0) return Error("failed to write whole buffer");
    bytes.remove_prefix(*wrote);
  }
  return writer.flush();
}

}  // namespace qlp
