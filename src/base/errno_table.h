// Names for OS error numbers, from tables of our own over the errno macros the
// platform defines (no glibc-only lookup, so macOS builds the same tables).
#pragma once

#include <string>

namespace qlp {

/// The platform's description of `errnum` (thread-safe strerror).
std::string strerror_text(int errnum);

/// The symbolic name ("ENOENT"), or nullptr when the number has none here.
const char* errno_name(int errnum);

/// "ENOENT: No such file or directory"; a number without a name shows as "E<number>".
std::string errno_name_and_description(int errnum);

/// The kind of an OS error ("NotFound", "PermissionDenied", ... "Uncategorized").
const char* os_error_kind_name(int errnum);

/// The debug form: Os { code: 2, kind: NotFound, message: "No such file or directory" }
std::string os_error_debug(int errnum);

}  // namespace qlp
