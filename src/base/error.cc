#include "base/error.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/errno_table.h"

namespace qlp {

void check_failed(const char* file, int line, const char* message) noexcept {
  char buffer[512];
  int n = std::snprintf(buffer, sizeof buffer, "%s:%d: %s\n", file, line, message);
  if (n > 0) {
    // write(2), not stdio: this may run while another thread holds stdio's locks.
    ssize_t ignored = ::write(2, buffer, static_cast<size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
    (void)ignored;
  }
  std::abort();
}

std::string os_error_display(int errnum) {
  return strerror_text(errnum) + " (os error " + std::to_string(errnum) + ")";
}

Error Error::os(int errnum) { return os_with_message(errnum, os_error_display(errnum)); }

Error Error::os(int errnum, std::string_view context) {
  std::string message(context);
  message.append(": ").append(os_error_debug(errnum));
  return os_with_message(errnum, std::move(message));
}

Error Error::os_with_message(int errnum, std::string message) {
  Error error(std::move(message));
  error.os_code_ = errnum;
  return error;
}

}  // namespace qlp
