// From /proc: the name from comm, the directory from the cwd link.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "session/foreground_process.h"
#include "text/utf8.h"

namespace qlp {
namespace {

// comm holds at most this many bytes of the name (TASK_COMM_LEN less its NUL).
constexpr std::size_t kCommLength = 15;

/// The whole of a small /proc file, or nothing when it cannot be read.
std::optional<std::string> read_small_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got == -1 && errno == EINTR) continue;
    if (got <= 0) {
      ::close(fd);
      if (got == -1) return std::nullopt;
      return text;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

std::optional<std::string> process_name(const std::string& dir) {
  std::optional<std::string> comm = read_small_file(dir + "/comm");
  if (!comm || comm->empty()) return std::nullopt;
  if (comm->back() == '\n') comm->pop_back();
  // comm cuts long names short; the base name of the first argument, when it begins with what
  // comm kept, gives the whole of it ("node-inspector-server", not "node-inspector-").
  if (comm->size() == kCommLength) {
    if (std::optional<std::string> args = read_small_file(dir + "/cmdline")) {
      std::string_view first(args->c_str());
      first.remove_prefix(std::min(first.size(), first.rfind('/') + 1));
      if (first.size() > comm->size() && first.substr(0, comm->size()) == *comm) {
        return to_utf8_lossy(first);
      }
    }
  }
  return to_utf8_lossy(*comm);
}

std::optional<std::string> working_dir(const std::string& dir) {
  std::string target(4096, '\0');
  for (;;) {
    const ssize_t got = ::readlink((dir + "/cwd").c_str(), target.data(), target.size());
    if (got == -1) return std::nullopt;
    if (static_cast<std::size_t>(got) < target.size()) {
      target.resize(static_cast<std::size_t>(got));
      break;
    }
    target.resize(target.size() * 2);
  }
  if (target.empty() || target.front() != '/' || !is_valid_utf8(target)) return std::nullopt;
  return target;
}

}  // namespace

ProcessDescription describe_process(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid);
  return ProcessDescription{process_name(dir), working_dir(dir)};
}

}  // namespace qlp
