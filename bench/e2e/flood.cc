#include "flood.h"

#include <chrono>
#include <memory>
#include <optional>

#include "common.h"

namespace qlp::bench {
namespace {

/// One relay's flood, advanced turn by turn.
class Flood {
 public:
  Flood(RelayKind kind, const RelayPrograms& programs, const std::string& path,
        std::span<const unsigned char> expected)
      : kind_(kind), programs_(programs), path_(path), expected_(expected), check_(expected) {}

  bool done() const { return check_.done(); }

  /// Reads until `until` bytes have arrived, or to the end of the flood; starts the relay on
  /// the first turn. The time taken counts for this relay.
  Result<void> take_turn(std::size_t until, Clock::time_point deadline) {
    const auto begun = Clock::now();
    if (!relay_) {
      Result<std::unique_ptr<RelayProcess>> started =
          RelayProcess::start(kind_, programs_, flood_child(path_));
      if (!started) return std::move(started).error();
      relay_ = std::move(*started);
    }
    const std::size_t stop = std::min(until, expected_.size());
    while (!done() && (check_.received() < stop || check_.received() == expected_.size())) {
      Result<OutputLine> line = check_.next(*relay_, deadline);
      if (!line) return std::move(line).error();
      if (line->type == OutputLine::Type::data) ++frames_;
    }
    elapsed_ += Clock::now() - begun;
    if (done() && !cpu_) {
      // Read now, while the relay lasts: it ends only with its input.
      Result<std::chrono::nanoseconds> cpu = cpu_time(relay_->pid());
      if (!cpu) return std::move(cpu).error();
      Result<MemoryUse> memory = read_memory(relay_->pid());
      if (!memory) return std::move(memory).error();
      cpu_ = *cpu;
      memory_ = *memory;
    }
    return {};
  }

  Result<ThroughputRun> finish() {
    if (*check_.exit_code() != 0)
      return Error("child exited with code " + std::to_string(*check_.exit_code()));
    Result<void> end = relay_->finish_cleanly();
    if (!end) return std::move(end).error();
    const double mib = static_cast<double>(expected_.size()) / (1024.0 * 1024.0);
    ThroughputRun run;
    run.seconds = std::chrono::duration<double>(elapsed_).count();
    run.mib_per_second = mib / run.seconds;
    run.cpu_ms_per_mib = std::chrono::duration<double, std::milli>(*cpu_).count() / mib;
    run.memory = memory_;
    run.frames = frames_;
    return run;
  }

 private:
  RelayKind kind_;
  const RelayPrograms& programs_;
  const std::string& path_;
  std::span<const unsigned char> expected_;
  FloodCheck check_;
  std::unique_ptr<RelayProcess> relay_;
  std::uint64_t frames_ = 0;
  Clock::duration elapsed_{0};
  std::optional<std::chrono::nanoseconds> cpu_;
  MemoryUse memory_;
};

}  // namespace

Result<ThroughputRuns> run_throughput(const RelayPrograms& programs, const std::string& path,
                                      std::span<const unsigned char> expected,
                                      std::size_t turn_bytes) {
  const auto deadline = Clock::now() + 2 * run_timeout();
  Flood bridge(RelayKind::bridge, programs, path, expected);
  Flood baseline(RelayKind::baseline, programs, path, expected);
  for (std::size_t until = turn_bytes; !bridge.done() || !baseline.done(); until += turn_bytes) {
    for (Flood* flood : {&bridge, &baseline}) {
      Result<void> took = flood->take_turn(until, deadline);
      if (!took)
        return std::move(took).error().wrap(std::string("throughput, ") +
                                            (flood == &bridge ? "bridge" : "baseline"));
    }
  }
  ThroughputRuns runs;
  for (Flood* flood : {&bridge, &baseline}) {
    Result<ThroughputRun> run = flood->finish();
    if (!run) return std::move(run).error();
    (flood == &bridge ? runs.bridge : runs.baseline) = *run;
  }
  return runs;
}

}  // namespace qlp::bench
