// A NUL-terminated array of C strings (argv, envp) over strings it owns.
#pragma once

#include <string>
#include <vector>

namespace qlp {

/// Owns copies of the strings and a null-terminated array of pointers into
/// them, for execvp and the child's environment. Built before fork; neither
/// copyable nor movable, because moving a short std::string moves its bytes
/// and would leave the pointers dangling.
class CStringArray {
 public:
  explicit CStringArray(std::vector<std::string> strings);
  CStringArray(const CStringArray&) = delete;
  CStringArray& operator=(const CStringArray&) = delete;

  /// The pointers, ending with a null pointer; valid as long as this object.
  char* const* get() const { return pointers_.data(); }
  std::size_t size() const { return strings_.size(); }

 private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};

}  // namespace qlp
