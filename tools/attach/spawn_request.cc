#include "attach/spawn_request.h"

#include "text/utf8.h"

namespace qlp::attach {

Result<SpawnRequest> build_spawn_request(const std::vector<std::string>& command,
                                         std::optional<std::string> shell,
                                         const std::vector<std::string>& environ,
                                         std::optional<std::string> cwd,
                                         std::optional<TerminalSize> size) {
  SpawnRequest request;
  if (command.empty()) {
    request.shell_path = shell && !shell->empty() ? *shell : "/bin/sh";
  } else {
    request.shell_path = command.front();
    request.shell_args.assign(command.begin() + 1, command.end());
  }
  if (!is_valid_utf8(request.shell_path)) {
    return Error("the program name is not valid UTF-8, which frames cannot carry");
  }
  for (const auto& arg : request.shell_args) {
    if (!is_valid_utf8(arg)) {
      return Error("an argument is not valid UTF-8, which frames cannot carry");
    }
  }
  for (const auto& entry : environ) {
    size_t equals = entry.find('=', 1);
    if (equals == std::string::npos || !is_valid_utf8(entry)) continue;
    request.env.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
  }
  if (cwd && is_valid_utf8(*cwd)) request.cwd = std::move(cwd);
  if (size) {
    request.rows = size->rows;
    request.cols = size->cols;
  }
  return request;
}

}  // namespace qlp::attach
