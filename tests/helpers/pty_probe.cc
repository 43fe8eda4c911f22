// A program the terminal tests start on the slave side. It reports on itself
// (descriptors, session, controlling terminal, signals, umask, directory) as
// "key: value" lines ending with "end", or behaves as its arguments ask:
//   pty_probe                 report, then exit 0
//   pty_probe exit N          exit with status N
//   pty_probe wait            print "ready", then wait for a signal
//   pty_probe ignore-hup      ignore SIGHUP, print "ready", then wait for a signal
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string open_descriptors() {
  std::string list;
  DIR* dir = opendir("/dev/fd");
  if (dir == nullptr) return std::string("cannot list: ") + std::strerror(errno);
  int own = dirfd(dir);
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    if (std::atoi(entry->d_name) == own) continue;
    if (!list.empty()) list += ' ';
    list += entry->d_name;
  }
  closedir(dir);
  return list;
}

std::string tty_of(int fd) {
  const char* name = ttyname(fd);
  return name != nullptr ? name : std::string("none (") + std::strerror(errno) + ")";
}

std::string signal_list(bool (*select)(int)) {
  std::string list;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (!select(sig)) continue;
    if (!list.empty()) list += ' ';
    list += std::to_string(sig);
  }
  return list;
}

#ifdef __APPLE__
bool is_ignored(int sig) {
  struct sigaction action = {};
  return sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN;
}
#else
// From the kernel's own account: the C library's sigaction refuses even to
// report the signals it keeps for itself (32 and 33 with glibc).
bool is_ignored(int sig) {
  static unsigned long long ignored = [] {
    unsigned long long mask = 0;
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
      char line[256];
      while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "SigIgn:", 7) == 0) mask = std::strtoull(line + 7, nullptr, 16);
      }
      std::fclose(status);
    }
    return mask;
  }();
  return sig <= 64 && (ignored >> (sig - 1) & 1) != 0;
}
#endif

bool is_blocked(int sig) {
  sigset_t mask;
  sigemptyset(&mask);
  sigprocmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, sig) == 1;
}

void report() {
  std::printf("fds: %s\n", open_descriptors().c_str());
  for (int fd = 0; fd < 3; ++fd) std::printf("tty%d: %s\n", fd, tty_of(fd).c_str());
  pid_t pid = getpid();
  std::printf("session-leader: %s\n", getsid(0) == pid ? "yes" : "no");
  std::printf("group-leader: %s\n", getpgrp() == pid ? "yes" : "no");
  std::printf("terminal-session-is-mine: %s\n", tcgetsid(0) == getsid(0) ? "yes" : "no");
  std::printf("foreground: %s\n", tcgetpgrp(0) == getpgrp() ? "yes" : "no");
  int tty = open("/dev/tty", O_RDWR | O_NOCTTY);
  std::printf("dev-tty: %s\n", tty != -1 ? "opens" : std::strerror(errno));
  if (tty != -1) close(tty);
  std::printf("ignored: %s\n", signal_list(is_ignored).c_str());
  std::printf("blocked: %s\n", signal_list(is_blocked).c_str());
  mode_t mask = umask(0);
  umask(mask);
  std::printf("umask: %04o\n", static_cast<unsigned>(mask));
  char cwd[4096];
  std::printf("cwd: %s\n", getcwd(cwd, sizeof cwd) != nullptr ? cwd : std::strerror(errno));
  std::printf("end\n");
  std::fflush(stdout);
}

[[noreturn]] void wait_for_signal() {
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "report";
  if (mode == "report") {
    report();
    return 0;
  }
  if (mode == "exit" && argc > 2) return std::atoi(argv[2]);
  if (mode == "wait") wait_for_signal();
  if (mode == "ignore-hup") {
    signal(SIGHUP, SIG_IGN);
    wait_for_signal();
  }
  std::fprintf(stderr, "pty_probe: unknown mode %s\n", mode.c_str());
  return 2;
}
