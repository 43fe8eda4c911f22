// Temporary file trees and forked children for the command description tests.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace qlp::test {

/// A fresh directory under /tmp, removed with everything in it on destruction.
/// Mode 0755, so that a child running under another user id can look inside.
class TempTree {
 public:
  TempTree() {
    char pattern[] = "/tmp/qlp_command_XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) ADD_FAILURE() << "mkdtemp failed";
    root_ = made != nullptr ? made : "/nonexistent-temp-tree";
    ::chmod(root_.c_str(), 0755);
  }
  ~TempTree() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& root() const { return root_; }
  /// root() joined with `relative`.
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }

  /// Creates the directory (and its parents) at `relative`, mode 0755.
  std::string dir(const std::string& relative) const {
    const std::string full = path(relative);
    std::filesystem::create_directories(full);
    ::chmod(full.c_str(), 0755);
    return full;
  }

  /// Creates a file holding `content` with exactly `mode`.
  std::string file(const std::string& relative, mode_t mode,
                   const std::string& content = "#!/bin/sh\nexit 0\n") const {
    const std::string full = path(relative);
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    const int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
      ADD_FAILURE() << "cannot create " << full;
      return full;
    }
    if (::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
      ADD_FAILURE() << "cannot write " << full;
    }
    ::close(fd);
    ::chmod(full.c_str(), mode);
    return full;
  }

  std::string symlink(const std::string& relative, const std::string& target) const {
    const std::string full = path(relative);
    if (::symlink(target.c_str(), full.c_str()) != 0) ADD_FAILURE() << "cannot link " << full;
    return full;
  }

 private:
  std::string root_;
};

/// Runs `body` in a forked child and returns the text it produced, so that a
/// test can change the child's environment, current directory or user ids
/// without touching the test runner. A child that dies or exits abnormally
/// yields a text saying so, which no expectation matches.
inline std::string run_in_child(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "<pipe failed>";
  const pid_t pid = ::fork();
  if (pid < 0) return "<fork failed>";
  if (pid == 0) {
    ::close(fds[0]);
    const std::string text = body();
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
      if (n <= 0) ::_exit(3);
      done += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "<child failed>" + text;
  return text;
}

}  // namespace qlp::test
