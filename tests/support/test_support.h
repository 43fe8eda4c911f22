// Helpers shared by the test binaries.
#pragma once

#include <chrono>

namespace qlp::test {

/// The factor by which sanitizer builds stretch every deadline
/// (QLP_TEST_TIMEOUT_MULTIPLIER, default 1).
double timeout_multiplier();

/// `base` scaled by timeout_multiplier().
std::chrono::milliseconds scaled(std::chrono::milliseconds base);

/// Ignores `sig` through the kernel, past the C library, which refuses to touch
/// the signals it keeps for itself (32 and 33 for glibc, 32 to 34 for musl).
/// For a forked process about to exec what a test checks. Linux on x86-64 and
/// arm64 only; false when the kernel refuses.
bool ignore_signal_past_libc(int sig);

}  // namespace qlp::test
