#include "command/command_builder.h"

#include <unistd.h>

#include "base/check.h"
#include "command/file_checks.h"
#include "command/log.h"
#include "command/shell_warnings.h"
#include "text/utf8.h"

#ifdef __APPLE__
// On macOS `environ` is only resolvable when linking the main executable;
// shared libraries and bundles must ask through _NSGetEnviron, which works for
// every kind of image, so this library uses it regardless of how it is linked.
#include <crt_externs.h>
static char** process_environment_block() { return *_NSGetEnviron(); }
#else
extern "C" char** environ;
static char** process_environment_block() { return environ; }
#endif

namespace qlp {
namespace {

/// Copies this process's environment block, entry by entry in its own order.
/// POSIX offers no lock guarding the block, and none is needed here: the
/// bridge never changes its own environment, so the block cannot move while
/// it is copied.
std::vector<std::string> read_environment_block() {
  std::vector<std::string> entries;
  if (char** block = process_environment_block()) {
    for (; *block != nullptr; ++block) entries.emplace_back(*block);
  }
  return entries;
}

}  // namespace

CommandBuilder::CommandBuilder(std::string program) : environment_(get_base_env()) {
  argv_.push_back(std::move(program));
}

CommandBuilder CommandBuilder::new_default_prog() {
  CommandBuilder builder;
  builder.environment_ = get_base_env();
  return builder;
}

void CommandBuilder::args(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    QLP_CHECK(!argv_.empty(), "attempted to add args to a default_prog builder");
    argv_.push_back(argument);
  }
}

void CommandBuilder::cwd(std::string dir) { working_dir_ = std::move(dir); }

void CommandBuilder::env(std::string name, std::string value) {
  std::string key = name;
  environment_.insert_or_assign(std::move(key), EnvEntry{std::move(name), std::move(value), false});
}

void CommandBuilder::env_remove(const std::string& name) { environment_.erase(name); }

std::optional<std::string> CommandBuilder::get_env(const std::string& name) const {
  auto it = environment_.find(name);
  if (it == environment_.end()) return std::nullopt;
  return it->second.value;
}

EnvMap CommandBuilder::get_base_env() {
  EnvMap environment;
  for (const std::string& entry : read_environment_block()) {
    if (entry.size() <= 1) continue;
    // Searching from position 1 keeps a leading '=' in the name ("=A=1" is =A).
    const std::size_t separator = entry.find('=', 1);
    if (separator == std::string::npos) continue;
    std::string name = entry.substr(0, separator);
    // In block order, so the last of several occurrences of a name wins.
    environment.insert_or_assign(name, EnvEntry{name, entry.substr(separator + 1), true});
  }
  if (environment.find("SHELL") == environment.end()) {
    environment.emplace("SHELL", EnvEntry{"SHELL", qlp::get_shell(), true});
  }
  return environment;
}

std::string get_shell() { return get_shell(lookup_account); }

std::string get_shell(const AccountLookup& lookup) {
  const std::optional<AccountInfo> account = lookup();
  if (!account) return "/bin/sh";
  const std::string& shell = account->shell;
  if (Result<void> utf8 = validate_utf8(shell); !utf8) {
    log_warn([&] { return passwd_shell_not_utf8_warning(utf8.error().message()); });
    return "/bin/sh";
  }
  const int errnum = access_error(shell, X_OK);
  if (errnum == 0) return shell;
  log_warn([&] { return passwd_shell_not_executable_warning(shell, errnum); });
  return "/bin/sh";
}

}  // namespace qlp
