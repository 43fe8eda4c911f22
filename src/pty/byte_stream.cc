#include "pty/byte_stream.h"

#include <cerrno>

namespace qlp {

ByteSource::~ByteSource() = default;
ByteSink::~ByteSink() = default;

Result<std::size_t> ByteSource::read_vectored(std::span<const std::span<std::uint8_t>> buffers) {
  for (std::span<std::uint8_t> buffer : buffers) {
    if (!buffer.empty()) return read(buffer);
  }
  return read({});
}

Result<void> ByteSource::read_exact(std::span<std::uint8_t> buffer) {
  while (!buffer.empty()) {
    auto n = read(buffer);
    if (!n) {
      if (n.error().os_code() == EINTR) continue;
      return std::move(n).error();
    }
    if (*n == 0) return Error("failed to fill whole buffer");
    buffer = buffer.subspan(*n);
  }
  return {};
}

Result<std::size_t> ByteSource::read_to_end(std::vector<std::uint8_t>& out) {
  std::size_t start = out.size();
  std::uint8_t chunk[4096];
  for (;;) {
    auto n = read(chunk);
    if (!n) {
      if (n.error().os_code() == EINTR) continue;
      return std::move(n).error();
    }
    if (*n == 0) return out.size() - start;
    out.insert(out.end(), chunk, chunk + *n);
  }
}

}  // namespace qlp
