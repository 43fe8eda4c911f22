// The frames the parent sends on standard input, and their decoding.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "base/error.h"
#include "frames/features.h"

namespace qlp {

/// One decoded input frame. Texts hold every JSON escape resolved; no default
/// is applied beyond an empty `shell_args` (the terminal size defaults belong
/// to the session driver).
struct InputFrame {
  /// Describes and starts the one program.
  struct Spawn {
    std::string shell_path;
    std::vector<std::string> shell_args;
    std::optional<std::string> cwd;
    /// A string value sets the variable, an empty optional removes it.
    std::optional<std::unordered_map<std::string, std::optional<std::string>>> env;
    std::optional<std::uint16_t> rows;
    std::optional<std::uint16_t> cols;
    /// The extensions asked for, as named (unknown names kept); none when the frame has no
    /// `features` or gives null. The object form only: the array form has no place for it.
    std::optional<std::vector<std::string>> features;
  };
  /// Bytes for the terminal.
  struct Input {
    /// The Base64 text as received, not yet decoded.
    std::string data;
  };
  /// A new terminal size.
  struct Resize {
    std::uint16_t rows;
    std::uint16_t cols;
  };
  /// Ends the program and the session.
  struct Kill {};
  /// A signal for the program, which need not end it (the `signal` feature).
  struct Signal {
    int number;
  };
  /// Asks for a process frame describing the terminal's foreground process (the `process`
  /// feature).
  struct Query {};

  std::variant<Spawn, Input, Resize, Kill, Signal, Query> frame;
};

/// Decodes one input line (its line feed, and a carriage return before it,
/// already removed) in the object form {"type":"resize","rows":24,"cols":80}
/// or the array form ["resize",24,80]. Syntax faults and faults of the frame
/// as a whole or of its `type` carry " at line 1 column C"; faults of the
/// other members carry no position, and are found only once the whole line
/// has read as JSON. Pure: callable from any thread.
///
/// The signal and query frames exist only when `accepted` holds the feature that brings them
/// (`signal`, `process`); otherwise their tags are unknown variants, and the message listing
/// the known ones is the original protocol's.
Result<InputFrame> parse_input_frame(std::string_view line, Features accepted = {});

}  // namespace qlp
