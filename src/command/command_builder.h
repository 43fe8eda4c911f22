// What a session runs: program, arguments, working directory and environment.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "command/account.h"
#include "command/command.h"
#include "base/error.h"

namespace qlp {

/// One variable of a builder's environment. Names and values are byte
/// strings, not necessarily UTF-8.
struct EnvEntry {
  std::string name;
  std::string value;
  /// True for entries of the inherited snapshot (the added SHELL included).
  bool from_process_env = false;
};

/// Environment keyed by name; std::string compares as unsigned bytes, so the
/// map iterates in plain byte order ("PATH" before "Path").
using EnvMap = std::map<std::string, EnvEntry>;

/// Describes the command of one session. Used by the main thread only.
class CommandBuilder {
 public:
  /// A builder for `program` over a snapshot of this process's environment.
  explicit CommandBuilder(std::string program);
  /// A builder with no program (runs the shell as a login shell); this system never makes one.
  static CommandBuilder new_default_prog();

  /// Appends each argument. Appending to a default-program builder is a programming fault.
  void args(const std::vector<std::string>& arguments);
  void cwd(std::string dir);
  void env(std::string name, std::string value);
  void env_remove(const std::string& name);
  /// The value stored under exactly `name`, or nothing.
  std::optional<std::string> get_env(const std::string& name) const;

  /// The snapshot of this process's environment, with SHELL added when missing.
  static EnvMap get_base_env();

  /// The shell this builder's command would use (SHELL if executable, else the account's).
  std::string get_shell() const;
  /// As above, with the account fallback taken from `lookup`.
  std::string get_shell(const AccountLookup& lookup) const;
  /// Resolves home, working directory and program into a concrete process start.
  Result<Command> as_command() const;
  /// As above, with the user database entry taken from `lookup`.
  Result<Command> as_command(const AccountLookup& lookup) const;

  const std::vector<std::string>& argv() const { return argv_; }
  const std::optional<std::string>& working_dir() const { return working_dir_; }
  const EnvMap& environment() const { return environment_; }
  std::optional<std::uint16_t> file_mode_mask() const { return file_mode_mask_; }
  bool controlling_terminal() const { return controlling_terminal_; }

 private:
  CommandBuilder() = default;

  std::vector<std::string> argv_;
  std::optional<std::string> working_dir_;
  EnvMap environment_;
  std::optional<std::uint16_t> file_mode_mask_;
  bool controlling_terminal_ = true;
};

/// The account's login shell from the user database if it is UTF-8 and
/// executable, else "/bin/sh". Never fails.
std::string get_shell();
/// As above, with the user database entry taken from `lookup`.
std::string get_shell(const AccountLookup& lookup);

}  // namespace qlp
