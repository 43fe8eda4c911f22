// The four measurements, each run against one relay at a time so that the benchmark can pair a
// bridge run with a baseline run made right next to it.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "error.h"
#include "proc_stats.h"
#include "relay_process.h"

namespace qlp::bench {

struct ThroughputRun {
  double seconds = 0;         ///< From the spawn frame to the exit frame and the last byte.
  double mib_per_second = 0;
  double cpu_ms_per_mib = 0;  ///< The relay's own CPU time, all threads; its child not included.
  MemoryUse memory;           ///< At the end of the flood, before the relay ends.
  std::uint64_t frames = 0;
};

/// A child that writes the file at `path` to its terminal with output processing off. Every byte
/// that arrives is checked against `expected`, the file's content.
Result<ThroughputRun> run_throughput(RelayKind kind, const RelayPrograms& programs,
                                     const std::string& path,
                                     std::span<const unsigned char> expected);

struct EchoRuns {
  std::vector<double> bridge;    ///< Round-trip times in microseconds.
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
  MemoryUse one;                  ///< A single idle session, the only one running.
  double pss_per_session_kib = 0; ///< With `sessions` idle sessions running together.
  double rss_per_session_kib = 0;
  double cpu_ms = 0;              ///< All sessions together, over the idle window.
  std::uint64_t wakeups = 0;      ///< Context switches of all their threads over the window.
};

/// `sessions` relays whose children wait for input that never comes.
Result<IdleRun> run_idle(RelayKind kind, const RelayPrograms& programs, int sessions,
                         std::chrono::milliseconds window);

}  // namespace qlp::bench
