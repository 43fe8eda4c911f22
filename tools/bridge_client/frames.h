// The frames a parent of the bridge writes and reads, built on the bridge's own frames library:
// the attach tool and the end-to-end benchmark both drive a bridge with these.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"

namespace qlp::client {

/// What a spawn frame asks for. Every text must be valid UTF-8: frames carry only text.
struct SpawnRequest {
  std::string shell_path;
  std::vector<std::string> shell_args;
  std::optional<std::string> cwd;
  /// Variables to set for the program, in the order given.
  std::vector<std::pair<std::string, std::string>> env;
  std::optional<std::uint16_t> rows;
  std::optional<std::uint16_t> cols;
};

struct TerminalSize {
  std::uint16_t rows = 0;
  std::uint16_t cols = 0;
};

// Input frames as lines, without the line feed.
std::string spawn_frame_line(const SpawnRequest& request);
std::string input_frame_line(std::string_view bytes);
/// input_frame_line appended to `out`, so that a reused buffer spares an allocation per frame.
void append_input_frame_line(std::string_view bytes, std::string& out);
std::string resize_frame_line(TerminalSize size);
std::string kill_frame_line();

/// One frame from the bridge.
struct BridgeFrame {
  enum class Type { kReady, kData, kExit, kError };
  Type type = Type::kReady;
  /// kData: the decoded terminal bytes.
  std::string bytes;
  /// kExit: the program's exit code.
  std::uint32_t code = 0;
  /// kError: the bridge's message.
  std::string message;
};

/// Reads one line of the bridge's standard output (line feed removed). Fails on a line that is
/// not one of the four frames, with the reader's message.
Result<BridgeFrame> parse_bridge_frame(std::string_view line);

}  // namespace qlp::client
