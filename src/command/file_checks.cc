#include "command/file_checks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace qlp {

bool names_directory(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return false;
  struct stat status;
  if (::stat(std::string(path).c_str(), &status) != 0) return false;
  return S_ISDIR(status.st_mode);
}

int access_error(std::string_view path, int mode) {
  if (path.find('\0') != std::string_view::npos) return EINVAL;
  if (::access(std::string(path).c_str(), mode) == 0) return 0;
  return errno;
}

}  // namespace qlp
