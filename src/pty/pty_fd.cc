#include "pty/pty_fd.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

#include "base/errno_table.h"

namespace qlp {

Result<std::size_t> PtyFd::read(std::span<std::uint8_t> buffer) {
  auto n = fd_.read(buffer);
  if (!n && n.error().os_code() == EIO) return std::size_t{0};
  return n;
}

Result<void> PtyFd::set_size(PtySize size) const {
  struct winsize record = {};
  record.ws_row = size.rows;
  record.ws_col = size.cols;
  record.ws_xpixel = size.pixel_width;
  record.ws_ypixel = size.pixel_height;
  if (::ioctl(fd_.as_raw_fd(), TIOCSWINSZ, &record) != 0) {
    int err = errno;
    return Error("failed to ioctl(TIOCSWINSZ): " + os_error_debug(err));
  }
  return {};
}

Result<PtySize> PtyFd::get_size() const {
  struct winsize record = {};
  if (::ioctl(fd_.as_raw_fd(), TIOCGWINSZ, &record) != 0) {
    int err = errno;
    return Error("failed to ioctl(TIOCGWINSZ): " + os_error_debug(err));
  }
  return PtySize{record.ws_row, record.ws_col, record.ws_xpixel, record.ws_ypixel};
}

}  // namespace qlp
