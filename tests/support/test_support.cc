#include "support/test_support.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
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

bool ignore_signal_past_libc(int sig) {
  // The kernel's record on x86-64 and arm64; without SA_RESTORER the restorer goes unused.
  struct {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    unsigned long mask;
  } record = {SIG_IGN, 0, nullptr, 0};
  return ::syscall(SYS_rt_sigaction, sig, &record, nullptr, sizeof record.mask) == 0;
}

}  // namespace qlp::test
