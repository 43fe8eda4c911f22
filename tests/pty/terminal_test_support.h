// Shared by the terminal tests: the probe program, reading the master against
// a deadline, and running a test body in a process of its own.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "command/command_builder.h"
#include "pty/byte_stream.h"
#include "pty/pty_system.h"
#include "support/test_support.h"

namespace qlp::test {

inline std::string helper_path(const std::string& name) {
  return std::string(QLP_TEST_HELPER_DIR) + "/" + name;
}

/// The probe with `args`, in the test's current directory.
inline CommandBuilder probe_command(const std::vector<std::string>& args = {}) {
  CommandBuilder builder(helper_path("pty_probe"));
  builder.args(args);
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) != nullptr) builder.cwd(cwd);
  return builder;
}

/// Whether the platform hands out terminals at all; a test without one skips.
inline bool terminals_available() {
  int fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (fd == -1) return false;
  close(fd);
  return true;
}

#define QLP_SKIP_WITHOUT_TERMINALS()                                             \
  do {                                                                           \
    if (!::qlp::test::terminals_available()) GTEST_SKIP() << "No pty available"; \
  } while (0)

/// Reads `source` until `marker` has arrived, end of file, or the (scaled)
/// deadline; returns what was read, carriage returns removed.
inline std::string read_until(ByteSource& source, std::string_view marker,
                              std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
  std::string text;
  while (marker.empty() || text.find(marker) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    struct pollfd ready = {source.as_raw_fd(), POLLIN, 0};
    int n = poll(&ready, 1, static_cast<int>(left.count()));
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) break;
    std::uint8_t buffer[1024];
    auto got = source.read(buffer);
    if (!got || *got == 0) break;
    for (std::size_t i = 0; i < *got; ++i) {
      if (buffer[i] != '\r') text.push_back(static_cast<char>(buffer[i]));
    }
  }
  return text;
}

/// Reads to end of file (EIO counts as end of file), within the deadline.
inline std::string read_to_end(
    ByteSource& source, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  return read_until(source, "", timeout);
}

/// The probe's "key: value" lines.
inline std::map<std::string, std::string> parse_report(const std::string& text) {
  std::map<std::string, std::string> report;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    std::size_t colon = line.find(": ");
    if (colon != std::string::npos) {
      report[line.substr(0, colon)] = line.substr(colon + 2);
    } else if (line == "end") {
      report["end"] = "";
    }
    start = end + 1;
  }
  return report;
}

/// Runs `body` in a forked copy of this process, so that it may change what
/// the test runner must keep (signal dispositions, session, children). The
/// body returns "" on success or a description of what failed; the result
/// is that description, or a note on how the copy ended abnormally.
inline std::string in_forked_process(const std::function<std::string()>& body) {
  int pipe_fds[2];
  if (pipe(pipe_fds) == -1) return std::string("pipe: ") + std::strerror(errno);
  fcntl(pipe_fds[0], F_SETFD, FD_CLOEXEC);
  fcntl(pipe_fds[1], F_SETFD, FD_CLOEXEC);
  pid_t pid = fork();
  if (pid == -1) return std::string("fork: ") + std::strerror(errno);
  if (pid == 0) {
    close(pipe_fds[0]);
    std::string why = body();
    std::size_t done = 0;
    while (done < why.size()) {
      ssize_t n = write(pipe_fds[1], why.data() + done, why.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    _exit(why.empty() ? 0 : 1);
  }
  close(pipe_fds[1]);
  std::string why;
  char buffer[512];
  for (;;) {
    ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) break;
    why.append(buffer, static_cast<std::size_t>(n));
  }
  close(pipe_fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
  }
  if (why.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    why = "forked test process ended with wait status " + std::to_string(status);
  }
  return why;
}

/// "" when this process has no child left (waitpid answers ECHILD).
inline std::string expect_no_children() {
  int status = 0;
  pid_t pid = waitpid(-1, &status, WNOHANG);
  if (pid == -1 && errno == ECHILD) return "";
  return "a process is left behind (waitpid gave " + std::to_string(pid) + ")";
}

}  // namespace qlp::test
