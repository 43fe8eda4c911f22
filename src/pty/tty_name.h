// The name of a terminal device, however long the platform needs it to be.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace qlp {

/// Shaped like ttyname_r: fills `buffer`, returns 0 or an error number.
using TtyNameFunction = int (*)(int fd, char* buffer, std::size_t length);

/// The device name of `fd`, asking `lookup` with a buffer of 128 bytes that
/// doubles on every ERANGE while it is at most 65,536 bytes. Any other failure,
/// or ERANGE beyond that, gives no name; an empty name is kept as empty.
std::optional<std::string> terminal_name(int fd, TtyNameFunction lookup);

/// terminal_name with the platform's ttyname_r.
std::optional<std::string> terminal_name(int fd);

}  // namespace qlp
