// The protocol extensions a parent may ask for in its spawn frame. A parent that asks for none
// sees the original protocol, byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qlp {

enum class Feature : std::uint8_t {
  kPid = 1,      ///< The ready frame carries the program's process id.
  kProcess = 2,  ///< The query frame, answered by a process frame.
  kSignal = 4,   ///< The signal frame, and the exit frame's signal name.
  kErrors = 8,   ///< The error frame's cause and code.
};

/// A set of features. Asked for (`asked`) means that the spawn frame carried a `features` array,
/// even an empty one or one of unknown names: the ready frame then lists what was accepted.
class Features {
 public:
  Features() = default;

  /// The known names among `names` (unknown ones ignored); asked() holds.
  static Features accept(const std::vector<std::string>& names);

  bool asked() const { return asked_; }
  bool has(Feature feature) const { return (bits_ & static_cast<std::uint8_t>(feature)) != 0; }

  /// The accepted names in their fixed order: pid, process, signal, errors.
  std::vector<std::string_view> names() const;

 private:
  bool asked_ = false;
  std::uint8_t bits_ = 0;
};

}  // namespace qlp
