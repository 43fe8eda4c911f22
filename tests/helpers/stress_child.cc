// The child that the race, soak and hostile-input tests start in the
// bridge's terminal. It puts the terminal in raw mode, so that bytes cross
// unchanged both ways, announces itself with "pid N\n" (once it is ready for
// input and, where asked, ignores SIGHUP), then does as its arguments say:
//   stress_child echo                     copy input back until end of input
//   stress_child flood N                  write N bytes of the flood pattern, exit 0
//                                         (N = -1: until killed)
//   stress_child flood-ignore-hup N       the same with SIGHUP ignored
//   stress_child exit CODE [MICROS]       wait MICROS microseconds, exit with CODE
//   stress_child ignore-hup MILLIS CODE   ignore SIGHUP, wait MILLIS ms, exit with CODE
//   stress_child read-exit CODE MICROS    read and discard input for MICROS microseconds,
//                                         then exit with CODE
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "flood_pattern.h"

namespace {

bool write_all(const unsigned char* bytes, std::size_t count) {
  while (count > 0) {
    ssize_t n = ::write(STDOUT_FILENO, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

void announce() {
  std::string line = "pid " + std::to_string(::getpid()) + "\n";
  write_all(reinterpret_cast<const unsigned char*>(line.data()), line.size());
}

void sleep_for(long long micros) {
  timespec left{static_cast<time_t>(micros / 1000000), static_cast<long>(micros % 1000000) * 1000};
  while (::nanosleep(&left, &left) == -1 && errno == EINTR) {
  }
}

int echo() {
  unsigned char buffer[16384];
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    if (!write_all(buffer, static_cast<std::size_t>(n))) return 1;
  }
}

int flood(long long total) {
  unsigned char buffer[8192];
  std::uint64_t offset = 0;
  while (total < 0 || offset < static_cast<std::uint64_t>(total)) {
    std::size_t count = sizeof buffer;
    if (total >= 0) count = std::min<std::uint64_t>(count, total - offset);
    qlp::test::flood_fill(offset, buffer, count);
    if (!write_all(buffer, count)) return 1;
    offset += count;
  }
  return 0;
}

int read_then_exit(long long micros, int code) {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const long long end = now.tv_sec * 1000000LL + now.tv_nsec / 1000 + micros;
  unsigned char buffer[16384];
  for (;;) {
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long long left = end - (now.tv_sec * 1000000LL + now.tv_nsec / 1000);
    if (left <= 0) return code;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const timespec wait{static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
    if (::ppoll(&input, 1, &wait, nullptr) == 1 && ::read(STDIN_FILENO, buffer, sizeof buffer) == 0) {
      return code;
    }
  }
}

int usage() {
  std::fprintf(stderr,
               "usage: stress_child echo | flood N | flood-ignore-hup N | exit CODE [MICROS] | "
               "ignore-hup MILLIS CODE | read-exit CODE MICROS\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string mode = argv[1];
  termios raw;
  if (::tcgetattr(STDIN_FILENO, &raw) == 0) {
    ::cfmakeraw(&raw);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }
  if (mode == "flood-ignore-hup" || mode == "ignore-hup") ::signal(SIGHUP, SIG_IGN);
  if (mode == "echo" && argc == 2) {
    announce();
    return echo();
  }
  if ((mode == "flood" || mode == "flood-ignore-hup") && argc == 3) {
    announce();
    return flood(std::atoll(argv[2]));
  }
  if (mode == "exit" && (argc == 3 || argc == 4)) {
    announce();
    if (argc == 4) sleep_for(std::atoll(argv[3]));
    return std::atoi(argv[2]);
  }
  if (mode == "ignore-hup" && argc == 4) {
    announce();
    sleep_for(std::atoll(argv[2]) * 1000);
    return std::atoi(argv[3]);
  }
  if (mode == "read-exit" && argc == 4) {
    announce();
    return read_then_exit(std::atoll(argv[3]), std::atoi(argv[2]));
  }
  return usage();
}
