#include "command/command.h"

namespace qlp {

Command::Command(std::string program) : program_(std::move(program)) { argv_.push_back(program_); }

void Command::set_arg_0(std::string arg0) { argv_[0] = std::move(arg0); }

void Command::arg(std::string argument) { argv_.push_back(std::move(argument)); }

void Command::cwd(std::string dir) { cwd_ = std::move(dir); }

void Command::env_clear() {
  env_clear_ = true;
  env_.clear();
}

void Command::env(std::string name, std::string value) {
  env_.insert_or_assign(std::move(name), std::move(value));
}

std::vector<std::string> Command::env_block() const {
  std::vector<std::string> block;
  block.reserve(env_.size());
  for (const auto& [name, value] : env_) block.push_back(name + "=" + value);
  return block;
}

bool Command::has_nul_byte() const {
  const auto holds_nul = [](const std::string& s) { return s.find('\0') != std::string::npos; };
  if (holds_nul(program_) || holds_nul(cwd_)) return true;
  for (const std::string& argument : argv_) {
    if (holds_nul(argument)) return true;
  }
  for (const auto& [name, value] : env_) {
    if (holds_nul(name) || holds_nul(value)) return true;
  }
  return false;
}

}  // namespace qlp
