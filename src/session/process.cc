#include "session/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

#include "frames/output_frame.h"
#include "frames/shared_stdout.h"

namespace qlp {

void prepare_process() {
  // A closed 0, 1 or 2 would otherwise be handed out by the next open(), and
  // frames or terminal bytes would end up in whatever file that was.
  int opened = -1;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int got = -1;
    if (opened != -1) got = ::dup(opened);
    if (got == -1) got = ::open("/dev/null", O_RDWR);
    if (got == -1) std::abort();
    if (opened == -1) opened = got;
  }
  // A closed standard output must be an ordinary write error, not a silent death.
  ::signal(SIGPIPE, SIG_IGN);
  // A parent that ignores SIGCHLD would have the kernel reap our child before
  // the exit watcher can read its status, and every exit would read as code 1.
  ::signal(SIGCHLD, SIG_DFL);
}

void exit_process(int status) noexcept { detail::exit_under_frame_lock(status, {}); }

void exit_process_with_error(std::string_view message, int status) noexcept {
  exit_process_with_error(OutputFrame::Error{std::string(message)}, status);
}

void exit_process_with_error(const OutputFrame::Error& frame, int status) noexcept {
  std::string line;
  append_frame_line(OutputFrame{frame}, line);
  detail::exit_under_frame_lock(status, line);
}

}  // namespace qlp
