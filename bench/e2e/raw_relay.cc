// The baseline the end-to-end benchmark measures the bridge against: the least a relay between a
// parent and a program in a terminal can do while speaking the same output frames.
//
//   qlp_raw_relay PROGRAM [ARGS...]
//
// Waits for one line on standard input (the parent's spawn frame, not decoded), opens a terminal,
// starts PROGRAM on it, writes {"type":"ready"} once PROGRAM has replaced the new process, then
// writes each read of the terminal as one data frame with one write. Every later byte of standard
// input goes to the terminal as it is: no JSON, no Base64, and the end of standard input hangs the
// program up. When the terminal reports the end of the program's output, the program is reaped and
// {"type":"exit","code":N} written; the relay ends with its input. Plain system calls and the
// bridge's Base64 encoder only, so that it costs what the platform costs and nothing more.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

// macOS declares openpty in <util.h>, Linux in <pty.h>.
#ifdef __APPLE__
#include <util.h>
#else
#include <pty.h>
#endif

#include <string_view>

#include "common.h"
#include "frames/base64.h"

namespace {

// Reads as much at a time as the bridge does.
constexpr size_t kReadSize = qlp::bench::kMaxFrameBytes;
constexpr char kDataPrefix[] = "{\"type\":\"data\",\"data\":\"";
constexpr char kDataSuffix[] = "\"}\n";

bool write_all(int fd, const char* bytes, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, bytes, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    bytes += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "qlp_raw_relay: %s: %s\n", what, strerror(errno));
  _exit(2);
}

int master = -1;
pid_t child = -1;
// Held while the child is reaped, so that the hang-up at the end of input can never reach a
// process that has been given the reaped child's id.
pthread_mutex_t reaping = PTHREAD_MUTEX_INITIALIZER;
bool reaped = false;  // Guarded by reaping.

// Standard input to the terminal, byte for byte; at its end, the child is hung up.
void* copy_input(void*) {
  char buffer[kReadSize];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0 && write_all(master, buffer, static_cast<size_t>(n))) continue;
    if (n == 0) {
      pthread_mutex_lock(&reaping);
      if (!reaped) kill(child, SIGHUP);
      pthread_mutex_unlock(&reaping);
    }
    return nullptr;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: qlp_raw_relay PROGRAM [ARGS...]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);

  // The first line stands for the spawn frame; its content is not looked at.
  for (char c = 0; c != '\n';) {
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 1;
  }

  struct winsize size = {};
  size.ws_row = 24;
  size.ws_col = 80;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) fail("openpty");
  // vfork: this process waits until the child has been replaced by the program, so the ready
  // frame below means what the bridge's means (the program runs), at the least cost the platform
  // offers for knowing it. The child makes only system calls before exec.
  child = vfork();
  if (child < 0) fail("vfork");
  if (child == 0) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    dup2(slave, 0);
    dup2(slave, 1);
    dup2(slave, 2);
    close(slave);
    close(master);
    signal(SIGPIPE, SIG_DFL);
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  close(slave);

  static const char kReady[] = "{\"type\":\"ready\"}\n";
  write_all(STDOUT_FILENO, kReady, sizeof kReady - 1);

  pthread_t input;
  if (pthread_create(&input, nullptr, copy_input, nullptr) != 0) fail("pthread_create");

  static char chunk[kReadSize];
  static char line[sizeof kDataPrefix + qlp::base64_encoded_length(kReadSize) + sizeof kDataSuffix];
  const size_t prefix = sizeof kDataPrefix - 1;
  memcpy(line, kDataPrefix, prefix);
  for (;;) {
    ssize_t n = read(master, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    // EIO: every holder of the terminal's other side has gone.
    if (n <= 0) break;
    // The bridge's own encoder: the ratios measure the relays, not their encoders.
    char* end =
        qlp::base64_encode_to(std::string_view(chunk, static_cast<size_t>(n)), line + prefix);
    memcpy(end, kDataSuffix, sizeof kDataSuffix - 1);
    write_all(STDOUT_FILENO, line, static_cast<size_t>(end - line) + sizeof kDataSuffix - 1);
  }

  // Wait for the end without reaping, then reap under the lock.
  siginfo_t info = {};
  while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  pthread_mutex_lock(&reaping);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  reaped = true;
  pthread_mutex_unlock(&reaping);
  unsigned code = WIFEXITED(status) ? static_cast<unsigned>(WEXITSTATUS(status)) : 1;
  char exit_line[48];
  int len = snprintf(exit_line, sizeof exit_line, "{\"type\":\"exit\",\"code\":%u}\n", code);
  write_all(STDOUT_FILENO, exit_line, static_cast<size_t>(len));
  // Like the bridge, the relay lasts until its input ends.
  pthread_join(input, nullptr);
  _exit(0);
}
