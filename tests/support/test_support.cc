#include "support/test_support.h"

#include <cstdlib>

namespace qlp::test {

double timeout_multiplier() {
  const char* text = std::getenv("QLP_TEST_TIMEOUT_MULTIPLIER");
  if (text == nullptr) return 1.0;
  double value = std::strtod(text, nullptr);
  return value >= 1.0 ? value : 1.0;
}

std::chrono::milliseconds scaled(std::chrono::milliseconds base) {
  return std::chrono::milliseconds(static_cast<long long>(base.count() * timeout_multiplier()));
}

}  // namespace qlp::test
