// OS error texts on macOS: the system's own.
#include <string.h>

#include <string>

#include "base/errno_table.h"

namespace qlp {
namespace {

// strerror_r has two incompatible signatures (GNU returns a pointer, POSIX an int); overloads on
// the result pick whichever the platform declared.
[[maybe_unused]] const char* strerror_result(const char* result, const char*) { return result; }
[[maybe_unused]] const char* strerror_result(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}

}  // namespace

std::string strerror_text(int errnum) {
  char buffer[256] = {};
  const char* text = strerror_result(strerror_r(errnum, buffer, sizeof buffer), buffer);
  if (text == nullptr || *text == '\0') {
    return std::string("Unknown error ").append(std::to_string(errnum));
  }
  return text;
}

}  // namespace qlp
