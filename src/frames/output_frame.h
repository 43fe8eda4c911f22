// The frames the bridge writes to its parent, and their exact bytes: one compact JSON object per
// line, "type" first, no white space.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qlp {

/// One frame for the parent. The members that protocol extensions add are written only when
/// set, after the original ones, so that a frame without them is the original protocol's line.
struct OutputFrame {
  /// {"type":"ready"}: the program runs. With extensions asked for:
  /// {"type":"ready","features":["pid",...],"pid":N}.
  struct Ready {
    /// The accepted extensions' names; none when the parent asked for none.
    std::optional<std::vector<std::string_view>> features = std::nullopt;
    std::optional<std::uint32_t> pid = std::nullopt;
  };
  /// {"type":"data","data":"..."}: terminal output as Base64 text, borrowed from the caller for
  /// the duration of the call that writes it.
  struct Data {
    std::string_view data;
  };
  /// {"type":"exit","code":N}: the program's exit code; {"type":"exit","code":1,"signal":"SIGKILL"}
  /// when a signal ended it and the parent asked for signal names.
  struct Exit {
    std::uint32_t code;
    std::optional<std::string> signal = std::nullopt;
  };
  /// {"type":"error","message":"..."}: why the session failed; with the error details asked for,
  /// also "cause" (the wrapped error's message) and "code" (an errno name such as "ENOENT").
  struct Error {
    std::string message;
    std::optional<std::string> cause = std::nullopt;
    std::optional<std::string> code = std::nullopt;
  };
  /// {"type":"process","pid":N,"name":"vim","cwd":"/home/me"}: the terminal's foreground process;
  /// each member that cannot be known is null.
  struct Process {
    std::optional<std::uint32_t> pid = std::nullopt;
    std::optional<std::string> name = std::nullopt;
    std::optional<std::string> cwd = std::nullopt;
  };

  std::variant<Ready, Data, Exit, Error, Process> frame;
};

/// Appends `text` as a JSON string, quotes included. Only what JSON requires is escaped: the
/// control bytes 0x00 to 0x1F (as \b \t \n \f \r, the rest as \u00xx with lowercase hex), the
/// double quote and the backslash. "/", 0x7F and every byte from 0x80 up are copied as they are,
/// so UTF-8 text stays raw UTF-8. Runs that need no escape are copied in one piece.
void append_json_string(std::string_view text, std::string& out);

/// Appends the frame's complete line, line feed included.
void append_frame_line(const OutputFrame& frame, std::string& out);

/// The frame's complete line, line feed included.
std::string frame_line(const OutputFrame& frame);

}  // namespace qlp
