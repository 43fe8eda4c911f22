// The frames the bridge writes to its parent, and their exact bytes: one compact JSON object per
// line, "type" first, no white space.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace qlp {

/// One frame for the parent.
struct OutputFrame {
  /// {"type":"ready"}: the program runs.
  struct Ready {};
  /// {"type":"data","data":"..."}: terminal output as Base64 text, borrowed from the caller for
  /// the duration of the call that writes it.
  struct Data {
    std::string_view data;
  };
  /// {"type":"exit","code":N}: the program's exit code.
  struct Exit {
    std::uint32_t code;
  };
  /// {"type":"error","message":"..."}: why the session failed.
  struct Error {
    std::string message;
  };

  std::variant<Ready, Data, Exit, Error> frame;
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
