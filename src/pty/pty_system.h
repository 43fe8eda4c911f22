// The terminal pair: the system that opens it, its master side and its slave side.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <memory>
#include <optional>
#include <string>

#include "command/command_builder.h"
#include "base/error.h"
#include "pty/byte_stream.h"
#include "pty/child.h"
#include "pty/pty_size.h"

namespace qlp {

/// The slave side: where the program runs.
class SlavePty {
 public:
  virtual ~SlavePty();

  /// Starts the builder's command on this terminal as the leader of a new
  /// session. The builder is consumed whether or not the start succeeds.
  virtual Result<std::unique_ptr<Child>> spawn_command(CommandBuilder builder) = 0;

  /// The concrete slave, or nullptr when it is not a T.
  template <typename T>
  T* downcast() {
    return dynamic_cast<T*>(this);
  }
};

/// The master side. Used by the main thread only; readers and the writer it
/// hands out are independent objects that may move to other threads.
class MasterPty {
 public:
  virtual ~MasterPty();

  virtual Result<void> resize(PtySize size) = 0;
  virtual Result<PtySize> get_size() = 0;
  /// A reader on a fresh duplicate of the master; may be called any number of times.
  virtual Result<std::unique_ptr<ByteSource>> try_clone_reader() = 0;
  /// The writer, on a fresh duplicate; succeeds at most once per master.
  virtual Result<std::unique_ptr<ByteSink>> take_writer() = 0;
  /// The terminal's foreground process group, when there is one.
  virtual std::optional<pid_t> process_group_leader() = 0;
  /// Always present: the master descriptor itself.
  virtual std::optional<int> as_raw_fd() = 0;
  /// The slave device's name, found when the pair was opened.
  virtual std::optional<std::string> tty_name() = 0;
  /// The terminal attributes, or none when they cannot be read.
  virtual std::optional<struct termios> get_termios() = 0;

  /// The concrete master, or nullptr when it is not a T.
  template <typename T>
  T* downcast() {
    return dynamic_cast<T*>(this);
  }
};

/// Both sides of a freshly opened terminal; the caller owns each separately.
struct PtyPair {
  std::unique_ptr<SlavePty> slave;
  std::unique_ptr<MasterPty> master;
};

/// Opens terminal pairs.
class PtySystem {
 public:
  virtual ~PtySystem();

  /// A pair at `size`, every descriptor close-on-exec.
  virtual Result<PtyPair> openpty(PtySize size) = 0;

  /// The concrete system, or nullptr when it is not a T.
  template <typename T>
  T* downcast() {
    return dynamic_cast<T*>(this);
  }
};

/// The platform's PtySystem (a UnixPtySystem).
std::unique_ptr<PtySystem> native_pty_system();

}  // namespace qlp
