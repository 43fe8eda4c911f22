// The error frame made from a failure.
#pragma once

#include "base/error.h"
#include "frames/output_frame.h"

namespace qlp {

/// The frame for `error`: its message; with `details` (the `errors` feature) also the message of
/// the error it wraps as "cause", and as "code" the symbolic name of the first OS error number
/// found along the chain, the outermost error first ("ENOENT"; "E<number>" for a number without
/// a name). A chain without an OS error gives no code; an error that wraps nothing, no cause.
OutputFrame::Error error_frame(const Error& error, bool details);

}  // namespace qlp
