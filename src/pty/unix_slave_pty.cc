#include "pty/spawn.h"
#include "pty/unix_child.h"
#include "pty/unix_pty.h"

namespace qlp {

Result<std::unique_ptr<Child>> UnixSlavePty::spawn_command(CommandBuilder builder) {
  PreExec pre_exec{builder.file_mode_mask(), builder.controlling_terminal()};
  auto command = builder.as_command();
  if (!command) return std::move(command).error();

  // Three separate duplicates, so that each standard stream of the program
  // owns its own descriptor; the parent's copies close when they go out of scope.
  auto in = fd_.fd().as_stdio();
  if (!in) return std::move(in).error();
  auto out = fd_.fd().as_stdio();
  if (!out) return std::move(out).error();
  auto err = fd_.fd().as_stdio();
  if (!err) return std::move(err).error();

  auto pid = spawn_process(*command, in.value(), out.value(), err.value(), pre_exec);
  if (!pid) return std::move(pid).error();
  return std::unique_ptr<Child>(std::make_unique<UnixChild>(*pid));
}

}  // namespace qlp
