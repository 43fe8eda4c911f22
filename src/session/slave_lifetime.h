// How long the terminal's slave side stays open, which differs by platform:
// slave_lifetime_linux.cc and slave_lifetime_darwin.cc, one of which the build picks.
#pragma once

#include <memory>

#include "pty/pty_system.h"

namespace qlp {

/// The terminal's slave side once the program has started: closed (null returned) where its last
/// close loses nothing, or handed back for the exit watcher to hold until the program has been
/// reaped where that close would throw away output the pump has not read yet.
std::unique_ptr<SlavePty> slave_for_the_exit_watcher(std::unique_ptr<SlavePty> slave);

}  // namespace qlp
