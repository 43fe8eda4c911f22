// A concrete process start, as program resolution leaves it.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace qlp {

/// The program to execute, its argument vector, working directory and complete
/// environment. All strings are bytes; the terminal layer turns them into
/// NUL-terminated arrays before it forks.
class Command {
 public:
  /// The argument vector starts as just the program.
  explicit Command(std::string program);

  void set_arg_0(std::string arg0);
  void arg(std::string argument);
  void cwd(std::string dir);
  /// Sets the clear-environment flag and empties the environment.
  void env_clear();
  /// Sets one variable, replacing an earlier value of the same name.
  void env(std::string name, std::string value);

  const std::string& program() const { return program_; }
  const std::vector<std::string>& argv() const { return argv_; }
  const std::string& working_dir() const { return cwd_; }
  bool clears_env() const { return env_clear_; }
  /// Ordered by unsigned byte order of the names.
  const std::map<std::string, std::string>& environment() const { return env_; }

  /// "NAME=VALUE" for each variable, in name order: the child's environment block.
  std::vector<std::string> env_block() const;
  /// True when the program, an argument, the working directory or an
  /// environment name or value holds a NUL byte; such a command cannot start.
  bool has_nul_byte() const;

 private:
  std::string program_;
  std::vector<std::string> argv_;
  std::string cwd_;
  bool env_clear_ = false;
  std::map<std::string, std::string> env_;
};

}  // namespace qlp
