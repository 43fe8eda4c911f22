// The file-system questions program resolution asks, with paths as byte strings.
#pragma once

#include <string_view>

namespace qlp {

/// True when the status of `path`, symbolic links followed, says directory.
/// A status that cannot be read (missing path, NUL byte, ...) answers false.
bool names_directory(std::string_view path);

/// 0 when `path` passes access(2) with `mode` (X_OK or F_OK, checked with the
/// real user and group ids; a relative path is taken from this process's
/// current directory), else the errno of the failed check. A path holding a
/// NUL byte cannot reach the platform and fails with EINVAL.
int access_error(std::string_view path, int mode);

}  // namespace qlp
