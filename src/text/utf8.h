// UTF-8 checks and the two ways byte strings are shown in messages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/error.h"

namespace qlp {

/// Succeeds when `bytes` is valid UTF-8; otherwise the error names the offset
/// of the first invalid sequence, for example
/// "invalid utf-8 byte sequence of 1 byte at offset 3".
Result<void> validate_utf8(std::string_view bytes);

bool is_valid_utf8(std::string_view bytes);

/// The length (1 to 4) of the well-formed sequence that starts at `bytes[at]`, or 0 when none
/// does: no overlong forms, no surrogates, nothing past U+10FFFF (RFC 3629).
std::size_t utf8_sequence_length(std::string_view bytes, std::size_t at);

/// `bytes` as UTF-8 text with each invalid byte sequence replaced by U+FFFD.
std::string to_utf8_lossy(std::string_view bytes);

/// The quoted form of `bytes`: enclosed in double quotes; `"` and `\` get a
/// backslash; line feed, tab, carriage return and NUL become \n, \t, \r, \0;
/// other non-printable characters become \u{hex} (lower-case hex); each byte
/// that is not part of valid UTF-8 becomes \xHH (upper-case hex).
std::string quoted_form(std::string_view bytes);

}  // namespace qlp
