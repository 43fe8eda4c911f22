// Opening a terminal pair: the only file of this layer that names the
// platform's openpty header.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>

#ifdef __APPLE__
// macOS declares openpty in <util.h> and has no <pty.h>.
#include <util.h>
#else
#include <pty.h>
#endif

#include <cerrno>

#include "pty/owned_handle.h"
#include "pty/tty_name.h"
#include "pty/unix_pty.h"

namespace qlp {

std::unique_ptr<PtySystem> native_pty_system() { return std::make_unique<UnixPtySystem>(); }

PtySystem::~PtySystem() = default;
MasterPty::~MasterPty() = default;
SlavePty::~SlavePty() = default;

Result<PtyPair> UnixPtySystem::openpty(PtySize size) {
  int master = -1;
  int slave = -1;
  struct winsize record = {};
  record.ws_row = size.rows;
  record.ws_col = size.cols;
  record.ws_xpixel = size.pixel_width;
  record.ws_ypixel = size.pixel_height;
  if (::openpty(&master, &slave, nullptr, nullptr, &record) != 0) {
    return Error::os(errno, "failed to openpty");
  }

  std::optional<std::string> name = terminal_name(slave);
  auto master_side =
      std::make_unique<UnixMasterPty>(PtyFd(FileDescriptor(OwnedHandle(master))), std::move(name));
  auto slave_side = std::make_unique<UnixSlavePty>(PtyFd(FileDescriptor(OwnedHandle(slave))));

  // openpty gives no way to ask for close-on-exec, so the flag is set right
  // away; on failure both sides go out of scope and close their descriptors.
  if (auto set = set_cloexec(master); !set) return std::move(set).error();
  if (auto set = set_cloexec(slave); !set) return std::move(set).error();
  // The controlling side does not block. A write into a full terminal that is under way when
  // the program's end closes the last holder of the other side is not woken by that end (Linux
  // wakes the writer before it counts the holder gone), and would wait for good; the input
  // writer waits in poll instead, which the end does wake, and the reader waits there too.
  if (::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) == -1) {
    return Error::os(errno, "failed to set O_NONBLOCK");
  }

  return PtyPair{std::move(slave_side), std::move(master_side)};
}

}  // namespace qlp
