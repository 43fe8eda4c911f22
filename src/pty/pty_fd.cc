#include "pty/pty_fd.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>


namespace qlp {

Result<std::size_t> PtyFd::read(std::span<std::uint8_t> buffer) {
  for (;;) {
    auto n = fd_.read(buffer);
    if (n) return n;
    const int code = n.error().os_code();
    if (code == EIO) return std::size_t{0};
    if (code != EAGAIN && code != EWOULDBLOCK) return n;
    // Waits for bytes or for the terminal's end, which the next read then reports.
    pollfd waiting{fd_.as_raw_fd(), POLLIN, 0};
    if (::poll(&waiting, 1, -1) == -1 && errno != EINTR) return Error::os(errno);
  }
}

Result<void> PtyFd::set_size(PtySize size) const {
  struct winsize record = {};
  record.ws_row = size.rows;
  record.ws_col = size.cols;
  record.ws_xpixel = size.pixel_width;
  record.ws_ypixel = size.pixel_height;
  if (::ioctl(fd_.as_raw_fd(), TIOCSWINSZ, &record) != 0) {
    return Error::os(errno, "failed to ioctl(TIOCSWINSZ)");
  }
  return {};
}

Result<PtySize> PtyFd::get_size() const {
  struct winsize record = {};
  if (::ioctl(fd_.as_raw_fd(), TIOCGWINSZ, &record) != 0) {
    return Error::os(errno, "failed to ioctl(TIOCGWINSZ)");
  }
  return PtySize{record.ws_row, record.ws_col, record.ws_xpixel, record.ws_ypixel};
}

}  // namespace qlp
