#include "line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "command/utf8.h"

namespace qlp {
namespace {

constexpr std::size_t kReadSize = 64 * 1024;

}  // namespace

Result<bool> LineReader::fill() {
  if (eof_) return false;
  // Drop what has been handed out before growing, so memory follows the
  // longest line rather than the whole stream.
  if (start_ > 0) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  // Read on the stack and append only what arrived: growing the string by a
  // whole read size first would zero 64 KiB for every keystroke's frame.
  char chunk[kReadSize];
  for (;;) {
    ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n >= 0) {
      buffer_.append(chunk, static_cast<std::size_t>(n));
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
      Result<bool> more = fill();
      if (!more) return std::move(more).error();
      if (*more) continue;
      if (buffer_.size() == start_) return std::optional<std::string_view>();
      base = buffer_.data() + start_;
      length = consumed = buffer_.size() - start_;
    }
    std::string_view line(base, length);
    start_ += consumed;
    scanned_ = 0;
    if (!is_valid_utf8(line)) return Error("stream did not contain valid UTF-8");
    return std::optional<std::string_view>(line);
  }
}

}  // namespace qlp
