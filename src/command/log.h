// The logging facility for the command description's fallback warnings.
//
// The bridge installs no sink and its maximum level is off, so warnings are
// neither written nor formatted: callers pass a function that builds the text,
// and it runs only when the level is enabled.
#pragma once

#include <string>
#include <utility>

namespace qlp {

enum class LogLevel { kOff = 0, kWarn = 1 };

/// The most detailed level that is written. Off: the parent learns of
/// failures only through error frames, never from a log.
inline constexpr LogLevel kMaxLogLevel = LogLevel::kOff;

constexpr bool log_enabled(LogLevel level) {
  return level != LogLevel::kOff && static_cast<int>(level) <= static_cast<int>(kMaxLogLevel);
}

/// Hands a formatted record to the sink. There is none, so it is dropped.
void log_write(LogLevel level, const std::string& message);

/// Logs at warning level the text that `format()` returns; at level off
/// `format` is never called.
template <typename Format>
void log_warn(Format&& format) {
  if constexpr (log_enabled(LogLevel::kWarn)) {
    log_write(LogLevel::kWarn, std::forward<Format>(format)());
  } else {
    (void)format;
  }
}

}  // namespace qlp
