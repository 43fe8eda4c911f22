// The driver of the one session a bridge process serves.
#pragma once

#include "base/error.h"

namespace qlp {

/// Reads the spawn frame from standard input, starts the child in a new
/// terminal, serves input, resize and kill frames until standard input ends
/// or a kill frame arrives, then hangs the child up and waits for its exit
/// frame. Any failure comes back as one error, whose message alone the
/// parent will see. Ends the process with status 101 when a thread cannot
/// be started.
Result<void> run();

}  // namespace qlp
