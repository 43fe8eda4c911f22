#include "command/c_string_array.h"

namespace qlp {

CStringArray::CStringArray(std::vector<std::string> strings) : strings_(std::move(strings)) {
  pointers_.reserve(strings_.size() + 1);
  for (std::string& s : strings_) pointers_.push_back(s.data());
  pointers_.push_back(nullptr);
}

}  // namespace qlp
