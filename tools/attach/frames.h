// The frames the attach tool sends to the bridge and reads back from it, one JSON text a line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"

namespace qlp::attach {

/// What the spawn frame asks for. Every text is valid UTF-8 (build_spawn_request sees to it).
struct SpawnRequest {
  std::string shell_path;
  std::vector<std::string> shell_args;
  std::optional<std::string> cwd;
  /// Variables to set for the program, in the order given.
  std::vector<std::pair<std::string, std::string>> env;
  std::optional<uint16_t> rows;
  std::optional<uint16_t> cols;
};

struct TerminalSize {
  uint16_t rows = 0;
  uint16_t cols = 0;
};

/// Builds the spawn request of an attach session.
///
/// `command` is what the person asked to run (program and arguments); when empty, the
/// program is `shell` ($SHELL), or "/bin/sh" when that is absent or empty. `environ` holds
/// "NAME=VALUE" entries: each becomes an env member, except entries that are not UTF-8 or
/// have no "=" (the bridge inherits the tool's environment anyway, so they still reach the
/// program). A `cwd` that is not UTF-8 is left out. Fails when the program or an argument is
/// not UTF-8, since frames carry only text.
Result<SpawnRequest> build_spawn_request(const std::vector<std::string>& command,
                                         std::optional<std::string> shell,
                                         const std::vector<std::string>& environ,
                                         std::optional<std::string> cwd,
                                         std::optional<TerminalSize> size);

// Input frames as lines, without the line feed.
std::string spawn_frame_line(const SpawnRequest& request);
std::string input_frame_line(std::string_view bytes);
std::string resize_frame_line(TerminalSize size);
std::string kill_frame_line();

/// One frame from the bridge.
struct OutputFrame {
  enum class Type { kReady, kData, kExit, kError };
  Type type = Type::kReady;
  /// kData: the decoded terminal bytes.
  std::string bytes;
  /// kExit: the program's exit code.
  uint32_t code = 0;
  /// kError: the bridge's message.
  std::string message;
};

/// Reads one line of the bridge's standard output (line feed removed).
Result<OutputFrame> parse_output_frame(std::string_view line);

}  // namespace qlp::attach
