// What the kernel knows about a running relay: memory, CPU time, context switches.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>

#include "base/error.h"

namespace qlp::bench {

struct MemoryUse {
  std::uint64_t rss_kib = 0;       ///< Resident now (VmRSS).
  std::uint64_t peak_rss_kib = 0;  ///< Highest resident size so far (VmHWM).
  std::uint64_t pss_kib = 0;       ///< Proportional share: each shared page split among its users.
};

/// From /proc/PID/status and /proc/PID/smaps_rollup.
Result<MemoryUse> read_memory(pid_t pid);

/// CPU time, user and system, of every thread of `pid`, ended threads included, to the
/// nanosecond (the process's CPU clock; /proc's tick counts are too coarse for short runs).
Result<std::chrono::nanoseconds> cpu_time(pid_t pid);

/// Voluntary and involuntary context switches, summed over the threads of `pid` now alive.
/// Every wake-up of a blocked thread counts one.
Result<std::uint64_t> context_switches(pid_t pid);

}  // namespace qlp::bench
