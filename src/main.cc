// Entry point of the bridge: one process, one session.
#include "frames/error_frame.h"
#include "frames/shared_stdout.h"
#include "session/process.h"
#include "session/session_driver.h"

int main() {
  qlp::prepare_process();
  qlp::Features accepted;
  qlp::Result<void> result = qlp::run(accepted);
  if (!result) {
    // Only the outermost message reaches the parent, as the last frame,
    // unless the parent asked for the details; a failure to write it changes
    // nothing about the status.
    qlp::exit_process_with_error(
        qlp::error_frame(result.error(), accepted.has(qlp::Feature::kErrors)), 1);
  }
  // Ending through exit_process, never by returning: it takes the emitter's
  // lock first, so a pump still writing a frame finishes that frame, and it
  // skips destructors that other threads may still depend on.
  qlp::exit_process(0);
}
