// From libproc: the name from proc_name, the directory from proc_pidinfo.
#include <libproc.h>
#include <sys/param.h>
#include <sys/proc_info.h>

#include <cstring>

#include "session/foreground_process.h"
#include "text/utf8.h"

namespace qlp {

ProcessDescription describe_process(pid_t pid) {
  ProcessDescription description;
  char name[2 * MAXCOMLEN + 1] = {};
  if (::proc_name(pid, name, sizeof name) > 0 && name[0] != '\0') {
    description.name = to_utf8_lossy(name);
  }
  struct proc_vnodepathinfo paths;
  std::memset(&paths, 0, sizeof paths);
  const int size = static_cast<int>(sizeof paths);
  if (::proc_pidinfo(pid, PROC_PIDVNODEPATHINFO, 0, &paths, size) == size) {
    const char* cwd = paths.pvi_cdir.vip_path;
    const std::size_t length = ::strnlen(cwd, sizeof paths.pvi_cdir.vip_path);
    std::string text(cwd, length);
    if (!text.empty() && text.front() == '/' && is_valid_utf8(text)) description.cwd = std::move(text);
  }
  return description;
}

}  // namespace qlp
