#include "command/program_resolution.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "command/file_checks.h"
#include "command/log.h"
#include "command/shell_warnings.h"
#include "text/utf8.h"
#include "base/errno_table.h"

namespace qlp {
namespace {

bool is_absolute(std::string_view path) { return !path.empty() && path.front() == '/'; }

/// "./run", "../bin/tool", "." and ".." are taken under the working directory;
/// ".hidden" or "bin/tool" are not.
bool starts_with_dot_component(std::string_view path) {
  const std::string_view first = path.substr(0, path.find('/'));
  return first == "." || first == "..";
}

Result<std::string> resolve_absolute(std::string_view program) {
  const std::string shown = to_utf8_lossy(program);
  if (names_directory(program)) {
    return Error::os_with_message(EISDIR, "Unable to spawn " + shown + " because it is a directory");
  }
  const int exec_error = access_error(program, X_OK);
  if (exec_error == 0) return std::string(program);
  // Both texts show the error of the execute check, the one that decided, and carry it.
  if (access_error(program, F_OK) != 0) {
    return Error::os_with_message(exec_error, "Unable to spawn " + shown +
                                                  " because it doesn't exist on the filesystem (" +
                                                  errno_name_and_description(exec_error) + ")");
  }
  return Error::os_with_message(exec_error, "Unable to spawn " + shown +
                                                " because it is not executable (" +
                                                errno_name_and_description(exec_error) + ")");
}

Result<std::string> resolve_under_dir(std::string_view program, std::string_view dir) {
  std::string candidate = join_path(dir, program);
  const std::string shown = to_utf8_lossy(candidate);
  if (names_directory(candidate)) {
    return Error::os_with_message(EISDIR, "Unable to spawn " + shown + " because it is a directory");
  }
  if (access_error(candidate, X_OK) == 0) return candidate;
  if (access_error(candidate, F_OK) == 0) {
    return Error::os_with_message(EACCES, "Unable to spawn " + shown + " because it is not executable");
  }
  return Error::os_with_message(ENOENT, "Unable to spawn " + shown + " because it does not exist");
}

Result<std::string> search_path(const CommandBuilder& builder, std::string_view program,
                                std::string_view dir) {
  std::vector<std::string> reasons;
  // What the failure carries: a file without execute permission outweighs a
  // directory, which outweighs finding nothing at all.
  int code = ENOENT;
  const std::optional<std::string> path = builder.get_env("PATH");
  if (!path) {
    reasons.push_back("Unable to resolve the PATH");
  } else {
    // Every piece between colons is an entry, empty ones included: an empty
    // entry joins to the working directory itself.
    std::string_view rest = *path;
    while (true) {
      const std::size_t colon = rest.find(':');
      const std::string_view entry = rest.substr(0, colon);
      std::string candidate = join_path(join_path(dir, entry), program);
      if (names_directory(candidate)) {
        reasons.push_back(to_utf8_lossy(candidate) + " exists but is a directory");
        if (code == ENOENT) code = EISDIR;
      } else if (access_error(candidate, X_OK) == 0) {
        return candidate;
      } else if (access_error(candidate, F_OK) == 0) {
        reasons.push_back(to_utf8_lossy(candidate) + " exists but is not executable");
        code = EACCES;
      }
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
    reasons.push_back("No viable candidates found in PATH " + quoted_form(*path));
  }
  std::string message = "Unable to spawn " + to_utf8_lossy(program) + " because:\n";
  for (std::size_t i = 0; i < reasons.size(); ++i) {
    if (i > 0) message += ".\n";
    message += reasons[i];
  }
  return Error::os_with_message(code, std::move(message));
}

/// The resolution checks ran from this process's current directory, but the
/// child enters the working directory before it executes the program, so a
/// relative path would be looked up again from there and miss the checked
/// file, or find another one. Anchoring it here makes the checked file the
/// one that starts. When the current directory cannot be named the path
/// stays as it is.
std::string anchored_to_current_dir(const std::string& path) {
  if (is_absolute(path)) return path;
  std::error_code error;
  const std::filesystem::path current = std::filesystem::current_path(error);
  if (error) return path;
  return join_path(current.native(), path);
}

}  // namespace

std::string join_path(std::string_view head, std::string_view tail) {
  if (is_absolute(tail)) return std::string(tail);
  std::string joined(head);
  if (!joined.empty() && joined.back() != '/') joined += '/';
  joined += tail;
  return joined;
}

Result<std::string> resolve_home_dir(const CommandBuilder& builder, const AccountLookup& lookup) {
  if (std::optional<std::string> home = builder.get_env("HOME"); home && is_valid_utf8(*home)) {
    return std::move(*home);
  }
  std::optional<AccountInfo> account = lookup();
  if (!account) return std::string("/");
  if (Result<void> utf8 = validate_utf8(account->home_dir); !utf8) {
    return Error("failed to resolve home dir", std::move(utf8).error());
  }
  return std::move(account->home_dir);
}

Result<std::string> resolve_program(const CommandBuilder& builder, std::string_view program,
                                    std::string_view dir) {
  if (is_absolute(program)) return resolve_absolute(program);
  if (starts_with_dot_component(program)) return resolve_under_dir(program, dir);
  return search_path(builder, program, dir);
}

std::string CommandBuilder::get_shell() const { return get_shell(lookup_account); }

std::string CommandBuilder::get_shell(const AccountLookup& lookup) const {
  if (std::optional<std::string> shell = get_env("SHELL"); shell && is_valid_utf8(*shell)) {
    // Taken from this process's current directory as it stands, never under
    // the working directory: the value is also what the child sees.
    const int errnum = access_error(*shell, X_OK);
    if (errnum == 0) return std::move(*shell);
    log_warn([&] { return env_shell_not_executable_warning(*shell, errnum); });
  }
  return qlp::get_shell(lookup);
}

Result<Command> CommandBuilder::as_command() const { return as_command(lookup_account); }

Result<Command> CommandBuilder::as_command(const AccountLookup& lookup) const {
  // The home directory is settled first and on every call, so an account
  // whose home cannot be named fails even when the working directory is fine.
  Result<std::string> home = resolve_home_dir(*this, lookup);
  if (!home) return std::move(home).error();

  const std::string& dir =
      working_dir_ && names_directory(*working_dir_) ? *working_dir_ : home.value();
  const std::string shell = get_shell(lookup);

  std::string program;
  std::string arg0;
  if (argv_.empty()) {
    // A default-program builder runs the shell as a login shell: "-" + its base name.
    // The shell was checked from here too, so a relative one is anchored like a program.
    program = anchored_to_current_dir(shell);
    arg0 = "-" + shell.substr(shell.rfind('/') + 1);
  } else {
    Result<std::string> resolved = resolve_program(*this, argv_[0], dir);
    if (!resolved) return std::move(resolved).error();
    program = anchored_to_current_dir(resolved.value());
    arg0 = argv_[0];
  }

  Command command(std::move(program));
  command.set_arg_0(std::move(arg0));
  for (std::size_t i = 1; i < argv_.size(); ++i) command.arg(argv_[i]);
  command.cwd(dir);
  command.env_clear();
  command.env("SHELL", shell);
  for (const auto& [key, entry] : environment_) command.env(entry.name, entry.value);
  return command;
}

}  // namespace qlp
