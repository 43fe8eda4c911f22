// An always-on check for broken invariants.
#pragma once

namespace qlp {

/// Prints "<file>:<line>: <message>" to standard error and aborts. Used for
/// programming faults only, never for failures a caller can meet at run time.
[[noreturn]] void check_failed(const char* file, int line, const char* message) noexcept;

}  // namespace qlp

// Unlike assert, this stays on in release builds: a broken invariant must
// never let the bridge go on writing frames.
#define QLP_CHECK(condition, message)                          \
  do {                                                         \
    if (!(condition)) ::qlp::check_failed(__FILE__, __LINE__, message); \
  } while (0)
