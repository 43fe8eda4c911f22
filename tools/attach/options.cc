#include "attach/options.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

namespace qlp::attach {
namespace {

constexpr char kBridgeName[] = "quelt_local_pty";

/// The absolute path of this executable, symbolic links resolved.
std::optional<std::string> own_executable_path() {
#ifdef __APPLE__
  // macOS has no /proc; dyld knows the path the executable was started by.
  char buffer[PATH_MAX];
  uint32_t size = sizeof buffer;
  if (_NSGetExecutablePath(buffer, &size) != 0) return std::nullopt;
  char resolved[PATH_MAX];
  if (realpath(buffer, resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
#else
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(n));
#endif
}

/// Splits "--name=value" and "--name value" alike; `i` moves past what was used.
Result<std::string> option_value(const std::vector<std::string>& args, size_t& i,
                                 const std::string& name) {
  const std::string& arg = args[i];
  if (arg.size() > name.size() && arg[name.size()] == '=') return arg.substr(name.size() + 1);
  if (i + 1 >= args.size()) return Error("option " + name + " needs a value");
  return args[++i];
}

}  // namespace

Result<Options> parse_options(const std::vector<std::string>& args, std::string default_bridge) {
  Options options;
  options.bridge = std::move(default_bridge);
  size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto is = [&](const char* name) {
      return arg == name || arg.rfind(std::string(name) + "=", 0) == 0;
    };
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (is("--bridge")) {
      auto value = option_value(args, i, "--bridge");
      if (!value) return std::move(value).error();
      if (value->empty()) return Error("option --bridge needs a non-empty path");
      options.bridge = std::move(*value);
    } else if (is("--trace")) {
      auto value = option_value(args, i, "--trace");
      if (!value) return std::move(value).error();
      if (value->empty()) return Error("option --trace needs a non-empty path");
      options.trace_path = std::move(*value);
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Error("unknown option " + arg);
    } else {
      break;
    }
  }
  options.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  return options;
}

const char* usage_text() {
  return "usage: quelt-attach [--bridge PATH] [--trace FILE] [--] [PROGRAM [ARG...]]\n"
         "\n"
         "Runs PROGRAM (default: $SHELL, else /bin/sh) in a pseudo-terminal through the\n"
         "quelt_local_pty bridge and connects it to this terminal. Exits with the program's\n"
         "exit code, or 1 when the session fails.\n"
         "\n"
         "  --bridge PATH  the bridge to start (default: quelt_local_pty beside this tool)\n"
         "  --trace FILE   record every frame, both ways, as one JSON line with a timestamp\n"
         "  -h, --help     show this text\n";
}

std::string default_bridge_path() {
  auto self = own_executable_path();
  if (!self) return kBridgeName;
  size_t slash = self->rfind('/');
  return self->substr(0, slash + 1) + kBridgeName;
}

}  // namespace qlp::attach
