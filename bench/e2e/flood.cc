#include "flood.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>

namespace qlp::bench {
namespace {

constexpr std::size_t kMaxChunk = 8192;

/// One relay's flood, advanced turn by turn.
class Flood {
 public:
  Flood(RelayKind kind, const RelayPrograms& programs, const std::string& path,
        std::span<const unsigned char> expected)
      : kind_(kind), programs_(programs), path_(path), expected_(expected) {}

  bool done() const { return exit_code_.has_value() && received_ == expected_.size(); }

  /// Reads until `until` bytes have arrived, or to the end of the flood; starts the relay on
  /// the first turn. The time taken counts for this relay.
  Result<void> take_turn(std::size_t until, Clock::time_point deadline) {
    const auto begun = Clock::now();
    if (!relay_) {
      Result<std::unique_ptr<RelayProcess>> started = RelayProcess::start(
          kind_, programs_, {"/bin/sh", "-c", "stty -opost -echo; exec cat \"$0\"", path_});
      if (!started) return std::move(started).error();
      relay_ = std::move(*started);
    }
    const std::size_t stop = std::min(until, expected_.size());
    while (!done() && (received_ < stop || received_ == expected_.size())) {
      Result<void> took = take_line(deadline);
      if (!took) return took;
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
    if (*exit_code_ != 0) return Error("child exited with code " + std::to_string(*exit_code_));
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
  Result<void> take_line(Clock::time_point deadline) {
    Result<std::optional<OutputLine>> line = relay_->next_line(deadline);
    if (!line) return std::move(line).error();
    if (!line->has_value())
      return Error("output ended after " + std::to_string(received_) + " bytes");
    const OutputLine& got = **line;
    switch (got.type) {
      case OutputLine::Type::data: {
        const std::string& bytes = got.bytes;
        if (bytes.size() > kMaxChunk) return Error("data frame over 8192 bytes");
        if (bytes.empty()) return unexpected_line(got);
        if (bytes.size() > expected_.size() - received_ ||
            std::memcmp(bytes.data(), expected_.data() + received_, bytes.size()) != 0) {
          return Error("received bytes differ from the file after offset " +
                       std::to_string(received_));
        }
        received_ += bytes.size();
        ++frames_;
        return {};
      }
      case OutputLine::Type::ready:
        if (ready_) return unexpected_line(got);
        ready_ = true;
        return {};
      case OutputLine::Type::exit:
        if (!ready_ || exit_code_) return unexpected_line(got);
        exit_code_ = got.code;
        return {};
      default:
        return unexpected_line(got);
    }
  }

  RelayKind kind_;
  const RelayPrograms& programs_;
  const std::string& path_;
  std::span<const unsigned char> expected_;
  std::unique_ptr<RelayProcess> relay_;
  std::size_t received_ = 0;
  std::uint64_t frames_ = 0;
  bool ready_ = false;
  std::optional<std::uint32_t> exit_code_;
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
