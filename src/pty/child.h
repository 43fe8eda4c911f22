// The program started in the terminal: waiting for it and hanging it up.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/error.h"

namespace qlp {

/// How a program ended. A program ended by a signal has `code` 1, a
/// description of the signal and its number.
struct ExitStatus {
  std::uint32_t code = 0;
  std::optional<std::string> signal = std::nullopt;
  int signal_number = 0;

  friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};

/// Signals the program; usable from any thread, also while another thread waits.
class ChildKiller {
 public:
  virtual ~ChildKiller();

  virtual std::string debug_string() const = 0;
  /// Hangs the program up.
  virtual Result<void> kill() = 0;
  /// A killer of its own for the same program (always a ProcessSignaller).
  virtual std::unique_ptr<ChildKiller> clone_killer() const = 0;

  /// The concrete killer, or nullptr when it is not a T.
  template <typename T>
  T* downcast() {
    return dynamic_cast<T*>(this);
  }
};

/// The started program. May move to another thread; used by one at a time.
class Child : public ChildKiller {
 public:
  /// The status if the program has ended (it is then reaped), none while it runs. Never blocks.
  virtual Result<std::optional<ExitStatus>> try_wait() = 0;
  /// Blocks until the program has ended.
  virtual Result<ExitStatus> wait() = 0;
  virtual std::optional<std::uint32_t> process_id() const = 0;

  template <typename T>
  T* downcast() {
    return dynamic_cast<T*>(this);
  }
};

}  // namespace qlp
