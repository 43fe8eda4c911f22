// Echo, start-up and idle measurements; the throughput flood is in flood.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "proc_stats.h"
#include "relay_process.h"

namespace qlp::bench {

struct EchoRuns {
  std::vector<double> bridge;  ///< Round-trip times in microseconds.
  std::vector<double> baseline;
};

/// Round-trip times of single bytes through a child that copies its raw terminal back, the
/// bridge and the baseline taking turns byte by byte.
Result<EchoRuns> run_echo(const RelayPrograms& programs, int round_trips);

struct StartRun {
  double to_ready_ms = 0;  ///< From starting the relay to its ready frame.
  double to_exit_ms = 0;   ///< From starting the relay to the exit frame of /bin/true.
};

Result<StartRun> run_start(RelayKind kind, const RelayPrograms& programs);

struct IdleRun {
  MemoryUse one;                   ///< A single idle session, the only one running.
  double pss_per_session_kib = 0;  ///< With `sessions` idle sessions running together.
  double rss_per_session_kib = 0;
  double cpu_ms = 0;          ///< All sessions together, over the idle window.
  std::uint64_t wakeups = 0;  ///< Context switches of all their threads over the window.
};

/// `sessions` relays whose children wait for input that never comes.
Result<IdleRun> run_idle(RelayKind kind, const RelayPrograms& programs, int sessions,
                         std::chrono::milliseconds window);

}  // namespace qlp::bench
