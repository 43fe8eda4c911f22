// The attach tool's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/error.h"

namespace qlp::attach {

struct Options {
  /// The bridge executable to start.
  std::string bridge;
  /// Where to record every frame, both ways; none means no trace.
  std::optional<std::string> trace_path;
  /// The program and its arguments; empty means the person's $SHELL.
  std::vector<std::string> command;
  bool help = false;
};

/// Parses the arguments after the program name. Options come first; the first argument that
/// is not an option (or everything after "--") is the program, so its own options pass
/// through untouched. `default_bridge` is used when --bridge is not given.
Result<Options> parse_options(const std::vector<std::string>& args, std::string default_bridge);

/// The --help text.
const char* usage_text();

/// The quelt_local_pty beside this executable; the bare name (searched along PATH) when the
/// executable's own location cannot be found.
std::string default_bridge_path();

}  // namespace qlp::attach
