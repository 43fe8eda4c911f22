#include "pty/reserved_signals.h"

#ifndef __APPLE__
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace qlp {

#ifdef __APPLE__
// macOS's C library keeps no signal for itself: sigaction changes every one.
void reset_reserved_signal(int) noexcept {}
#else
// glibc keeps signals 32 and 33 for its threads, musl 32 to 34, and both refuse to change them
// through sigaction, even in a new process about to exec. An ignored disposition survives exec,
// so a bridge started with one of them ignored would hand it on ignored; the kernel itself takes
// the change. An all-zero record is the default disposition with no flags and an empty mask,
// whatever order an architecture gives its fields.
void reset_reserved_signal(int sig) noexcept {
  unsigned long record[8] = {};  // larger than the kernel's record on every architecture
  constexpr unsigned long kKernelSigsetBytes = 64 / 8;  // 64 signals, MIPS aside
  (void)::syscall(SYS_rt_sigaction, sig, record, nullptr, kKernelSigsetBytes);
}
#endif

}  // namespace qlp
