#include "attach/raw_terminal.h"

#include <errno.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace qlp::attach {
namespace {

enum State : int { kOff = 0, kRaw = 1, kSuspended = 2 };

// Written by the main thread only while no handler can observe a half-made change: the state
// is published after the settings it describes are stored, and withdrawn before they are put
// back, so a handler sees either the old or the new situation.
int g_fd = -1;
struct termios g_saved;
struct termios g_raw;
volatile sig_atomic_t g_state = kOff;

}  // namespace

Result<bool> enter_raw_mode(int fd) {
  struct termios saved;
  if (!isatty(fd)) return false;
  if (tcgetattr(fd, &saved) != 0) return Error::os(errno);
  struct termios raw = saved;
  cfmakeraw(&raw);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  g_fd = fd;
  g_saved = saved;
  g_raw = raw;
  // TCSAFLUSH: keys typed before the session starts belong to the shell that started us.
  while (tcsetattr(fd, TCSAFLUSH, &raw) != 0) {
    if (errno != EINTR) return Error::os(errno);
  }
  g_state = kRaw;
  return true;
}

void leave_raw_mode() noexcept {
  if (g_state == kOff) return;
  g_state = kOff;
  int saved_errno = errno;
  // TCSANOW, not TCSADRAIN: this also runs in signal handlers, which must not wait on a
  // terminal whose output is stopped. Bytes already written were processed when written.
  while (tcsetattr(g_fd, TCSANOW, &g_saved) != 0 && errno == EINTR) {
  }
  errno = saved_errno;
}

void suspend_raw_mode() noexcept {
  if (g_state != kRaw) return;
  g_state = kSuspended;
  int saved_errno = errno;
  tcsetattr(g_fd, TCSANOW, &g_saved);
  errno = saved_errno;
}

void resume_raw_mode() noexcept {
  if (g_state == kOff) return;
  int saved_errno = errno;
  tcsetattr(g_fd, TCSANOW, &g_raw);
  g_state = kRaw;
  errno = saved_errno;
}

std::optional<TerminalSize> terminal_size(int fd) {
  struct winsize size {};
  if (ioctl(fd, TIOCGWINSZ, &size) != 0) return std::nullopt;
  return TerminalSize{size.ws_row, size.ws_col};
}

}  // namespace qlp::attach
