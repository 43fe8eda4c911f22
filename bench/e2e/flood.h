// The throughput workload: a child floods its terminal with a file's bytes while the benchmark
// reads the bridge and the baseline in turns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "base/error.h"
#include "proc_stats.h"
#include "relay_process.h"

namespace qlp::bench {

struct ThroughputRun {
  double seconds = 0;  ///< Spawn frame to exit frame and last byte, this relay's turns only.
  double mib_per_second = 0;
  double cpu_ms_per_mib = 0;  ///< The relay's own CPU time, all threads; its child not included.
  MemoryUse memory;           ///< At the end of the flood, before the relay ends.
  std::uint64_t frames = 0;
};

struct ThroughputRuns {
  ThroughputRun bridge;
  ThroughputRun baseline;
};

/// Floods through both relays at once, a child in each writing the file at `path` (whose content
/// is `expected`) to its terminal with output processing off, and checks every byte that
/// arrives. The benchmark reads `turn_bytes` from one relay, then from the other, and so on:
/// the relay not being read is held up by its full pipe and does no work, so each relay's time
/// is the sum of its own turns, and both runs meet the same moods of a shared machine.
Result<ThroughputRuns> run_throughput(const RelayPrograms& programs, const std::string& path,
                                      std::span<const unsigned char> expected,
                                      std::size_t turn_bytes);

}  // namespace qlp::bench
