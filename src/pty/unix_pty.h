// The POSIX terminal pair: the system that opens it, its master side with the
// writer, and its slave side.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "pty/pty_fd.h"
#include "pty/pty_system.h"

namespace qlp {

/// Types into the terminal through its own duplicate of the master descriptor.
/// Releasing it sends a newline and the terminal's end-of-file character, so a
/// line-oriented program sees its input end; then the duplicate is closed.
class UnixMasterWriter final : public ByteSink {
 public:
  explicit UnixMasterWriter(PtyFd fd) : fd_(std::move(fd)) {}
  UnixMasterWriter(const UnixMasterWriter&) = delete;
  UnixMasterWriter& operator=(const UnixMasterWriter&) = delete;
  ~UnixMasterWriter() override;

  Result<std::size_t> write(std::string_view bytes) override;
  Result<void> write_all(std::string_view bytes) override;
  /// Nothing is buffered here: always succeeds.
  Result<void> flush() override;
  int as_raw_fd() const override { return fd_.as_raw_fd(); }

  /// Writes the first non-empty buffer only, with one write (an empty write when all are empty).
  Result<std::size_t> write_vectored(std::span<const std::string_view> buffers);
  /// False: a many-buffer write is no better than one write per buffer.
  bool is_write_vectored() const { return false; }

 private:
  PtyFd fd_;
};

/// The master side. Used by the main thread only.
class UnixMasterPty final : public MasterPty {
 public:
  UnixMasterPty(PtyFd fd, std::optional<std::string> tty_name)
      : fd_(std::move(fd)), tty_name_(std::move(tty_name)) {}

  Result<void> resize(PtySize size) override;
  Result<PtySize> get_size() override;
  Result<std::unique_ptr<ByteSource>> try_clone_reader() override;
  Result<std::unique_ptr<ByteSink>> take_writer() override;
  std::optional<pid_t> process_group_leader() override;
  std::optional<int> as_raw_fd() override;
  std::optional<std::string> tty_name() override;
  std::optional<struct termios> get_termios() override;

 private:
  PtyFd fd_;
  /// Set by the first take_writer, also when that call then fails; never cleared.
  bool took_writer_ = false;
  std::optional<std::string> tty_name_;
};

/// The slave side; the process keeps it open until its holder releases it.
class UnixSlavePty final : public SlavePty {
 public:
  explicit UnixSlavePty(PtyFd fd) : fd_(std::move(fd)) {}

  Result<std::unique_ptr<Child>> spawn_command(CommandBuilder builder) override;

  const PtyFd& fd() const { return fd_; }

 private:
  PtyFd fd_;
};

/// Opens pairs with the platform's openpty.
class UnixPtySystem final : public PtySystem {
 public:
  Result<PtyPair> openpty(PtySize size) override;
};

}  // namespace qlp
