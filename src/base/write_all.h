// The one loop that writes a whole buffer to a descriptor.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string_view>

#include "base/error.h"

namespace qlp {

using WriteFunction = ssize_t (*)(int fd, const void* bytes, std::size_t count);

/// Writes every byte of `bytes` to `fd` with `write_fn` (write(2) when null): a partial write
/// continues with the rest, EINTR is retried, a write that accepts zero bytes fails with "failed
/// to write whole buffer", any other failure is the OS error. Stops at the first failure; what was
/// written stays written.
Result<void> write_all(int fd, std::string_view bytes, WriteFunction write_fn = nullptr);

}  // namespace qlp
