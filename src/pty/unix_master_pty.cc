#include <termios.h>
#include <unistd.h>

#include "pty/unix_pty.h"

namespace qlp {

UnixMasterWriter::~UnixMasterWriter() {
  struct termios attributes = {};
  if (::tcgetattr(fd_.as_raw_fd(), &attributes) == 0 && attributes.c_cc[VEOF] != 0) {
    const char bytes[2] = {'\n', static_cast<char>(attributes.c_cc[VEOF])};
    // Best effort: the writer is going away and nobody is left to tell.
    (void)fd_.fd().write_all(std::string_view(bytes, sizeof bytes));
  }
}

Result<std::size_t> UnixMasterWriter::write(std::string_view bytes) {
  return fd_.fd().write(bytes);
}

Result<void> UnixMasterWriter::write_all(std::string_view bytes) {
  return fd_.fd().write_all(bytes);
}

Result<void> UnixMasterWriter::flush() { return {}; }

Result<std::size_t> UnixMasterWriter::write_vectored(std::span<const std::string_view> buffers) {
  for (std::string_view buffer : buffers) {
    if (!buffer.empty()) return write(buffer);
  }
  return write({});
}

Result<void> UnixMasterPty::resize(PtySize size) { return fd_.set_size(size); }

Result<PtySize> UnixMasterPty::get_size() { return fd_.get_size(); }

Result<std::unique_ptr<ByteSource>> UnixMasterPty::try_clone_reader() {
  auto clone = fd_.fd().try_clone();
  if (!clone) return std::move(clone).error();
  return std::unique_ptr<ByteSource>(std::make_unique<PtyFd>(std::move(clone).value()));
}

Result<std::unique_ptr<ByteSink>> UnixMasterPty::take_writer() {
  if (took_writer_) return Error("cannot take writer more than once");
  took_writer_ = true;
  auto clone = fd_.fd().try_clone();
  if (!clone) return std::move(clone).error();
  return std::unique_ptr<ByteSink>(
      std::make_unique<UnixMasterWriter>(PtyFd(std::move(clone).value())));
}

std::optional<pid_t> UnixMasterPty::process_group_leader() {
  pid_t group = ::tcgetpgrp(fd_.as_raw_fd());
  if (group > 0) return group;
  return std::nullopt;
}

std::optional<int> UnixMasterPty::as_raw_fd() { return fd_.as_raw_fd(); }

std::optional<std::string> UnixMasterPty::tty_name() { return tty_name_; }

std::optional<struct termios> UnixMasterPty::get_termios() {
  struct termios attributes = {};
  if (::tcgetattr(fd_.as_raw_fd(), &attributes) != 0) return std::nullopt;
  return attributes;
}

}  // namespace qlp
