#include "session/line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "text/utf8.h"

namespace qlp {
namespace {

constexpr std::size_t kReadSize = 64 * 1024;

}  // namespace

void LineSplitter::append(std::string_view bytes) {
  // Drop what has been handed out before growing, so memory follows the
  // longest line rather than the whole stream.
  if (start_ > 0) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(bytes);
}

Result<std::optional<std::string_view>> LineSplitter::next_line(bool at_end) {
  const char* base = buffer_.data() + start_;
  std::size_t available = buffer_.size() - start_;
  const void* newline =
      available > scanned_ ? std::memchr(base + scanned_, '\n', available - scanned_) : nullptr;
  std::size_t length;
  std::size_t consumed;
  if (newline != nullptr) {
    length = static_cast<const char*>(newline) - base;
    consumed = length + 1;
    if (length > 0 && base[length - 1] == '\r') --length;
  } else {
    scanned_ = available;
    if (!at_end || available == 0) return std::optional<std::string_view>();
    length = consumed = available;
  }
  std::string_view line(base, length);
  start_ += consumed;
  scanned_ = 0;
  if (!is_valid_utf8(line)) return Error("stream did not contain valid UTF-8");
  return std::optional<std::string_view>(line);
}

Result<bool> LineReader::fill() {
  if (eof_) return false;
  // Read on the stack and hand the splitter only what arrived: preparing a
  // whole read's room in the splitter would zero 64 KiB for every keystroke's
  // frame, nearly all of the bridge's work while it echoes keystrokes.
  char chunk[kReadSize];
  for (;;) {
    ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n >= 0) {
      lines_.append(std::string_view(chunk, static_cast<std::size_t>(n)));
      if (n == 0) eof_ = true;
      return n > 0;
    }
    int error = errno;
    if (error == EINTR) continue;
    // A standard input that is not open reads as end of input.
    if (error == EBADF) {
      eof_ = true;
      return false;
    }
    return Error::os(error);
  }
}

Result<std::optional<std::string_view>> LineReader::next_line() {
  for (;;) {
    Result<std::optional<std::string_view>> line = lines_.next_line(eof_);
    if (!line || line->has_value() || eof_) return line;
    Result<bool> more = fill();
    if (!more) return std::move(more).error();
  }
}

}  // namespace qlp
