// Helpers shared by the test binaries.
#pragma once

#include <chrono>

namespace qlp::test {

/// The factor by which sanitizer builds stretch every deadline
/// (QLP_TEST_TIMEOUT_MULTIPLIER, default 1).
double timeout_multiplier();

/// `base` scaled by timeout_multiplier().
std::chrono::milliseconds scaled(std::chrono::milliseconds base);

}  // namespace qlp::test
