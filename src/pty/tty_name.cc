#include "pty/tty_name.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace qlp {
namespace {

// ttyname_r is declared with a size_t length on every platform we build for,
// but a wrapper keeps the seam's type independent of the exact declaration.
int platform_ttyname(int fd, char* buffer, std::size_t length) {
  return ::ttyname_r(fd, buffer, length);
}

constexpr std::size_t kFirstSize = 128;
constexpr std::size_t kLargestGrownSize = 65536;

}  // namespace

std::optional<std::string> terminal_name(int fd, TtyNameFunction lookup) {
  std::vector<char> buffer(kFirstSize, '\0');
  for (;;) {
    int result = lookup(fd, buffer.data(), buffer.size());
    if (result == 0) return std::string(buffer.data(), ::strnlen(buffer.data(), buffer.size()));
    if (result != ERANGE || buffer.size() > kLargestGrownSize) return std::nullopt;
    buffer.resize(buffer.size() * 2, '\0');
  }
}

std::optional<std::string> terminal_name(int fd) { return terminal_name(fd, platform_ttyname); }

}  // namespace qlp
