// Input frames' bytes on their way into the terminal.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/error.h"
#include "pty/byte_stream.h"

namespace qlp {

/// Input is handed to the terminal in pieces no larger than this, with a check for a hung-up
/// terminal before each one.
constexpr std::size_t kInputChunk = 4096;

/// Writes one input frame's bytes to the terminal behind `writer`. Once the program has ended and
/// nobody holds the terminal any more, nothing will ever read its input and a write could block
/// for good: such input is dropped, whether the hang-up shows before a write or as the write's
/// failure. The terminal's controlling side does not block: a full terminal is waited on in
/// poll, which its end wakes. Any other failure is the session's end (the OS error, or "failed to write whole
/// buffer" for a write that takes nothing).
Result<void> write_input(ByteSink& writer, std::string_view bytes);

/// Whether a failed write to the terminal's controlling side means that the terminal's last
/// holder has just gone (the program ended while the write was under way).
bool terminal_gone(int write_error);

}  // namespace qlp
