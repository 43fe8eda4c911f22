// The driver of the one session a bridge process serves.
#pragma once

#include "base/error.h"
#include "frames/features.h"

namespace qlp {

/// Reads the spawn frame from standard input, starts the child in a new
/// terminal, serves input, resize and kill frames (and the signal and query
/// frames of the extensions the parent asked for) until standard input ends
/// or a kill frame arrives, then hangs the child up and waits for its exit
/// frame. Any failure comes back as one error, for the caller to write as
/// the last frame; `accepted` then holds the extensions the parent asked for
/// (none when the failure came before the spawn frame was read), which
/// decide what that frame carries. Ends the process with status 101 when a
/// thread cannot be started.
Result<void> run(Features& accepted);

}  // namespace qlp
