// The process's start and its end, around the one session it serves.
#pragma once

#include <string_view>

#include "frames/output_frame.h"

namespace qlp {

/// Opens any of descriptors 0, 1 and 2 that is closed on /dev/null (aborting
/// when that cannot be opened), ignores SIGPIPE and restores SIGCHLD to its
/// default. Must run first in main, while the process has one thread.
void prepare_process();

/// Ends the process with `status`, leaving no frame half-written: takes the process-wide stdout
/// lock, so any line being written by another thread is finished first and no new one starts,
/// never releases it, and calls _exit, so no destructor or exit handler runs under threads that
/// may still be writing. The calling thread must not be inside with_frame_lock. If the parent has
/// stopped reading without closing its end, a thread blocked in the middle of a line keeps this
/// waiting until the parent reads or closes.
[[noreturn]] void exit_process(int status) noexcept;

/// The fatal ending: writes the error frame carrying `message` as emit_error would, ignoring a
/// failure to write it, and ends the process with `status` as exit_process does, holding the
/// lock from before the frame until _exit, so that the error frame is the last line the parent
/// receives.
[[noreturn]] void exit_process_with_error(std::string_view message, int status) noexcept;

/// The same with a whole error frame, whose further members the parent may have asked for.
[[noreturn]] void exit_process_with_error(const OutputFrame::Error& frame, int status) noexcept;

}  // namespace qlp
