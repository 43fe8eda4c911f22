#include "parents.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <optional>

#include "common.h"
#include "direct_echo.h"

namespace qlp::bench {
namespace {

constexpr RelayKind kKinds[kRelays] = {RelayKind::bridge, RelayKind::python, RelayKind::baseline};
constexpr const char* kNames[kParticipants] = {"bridge", "python", "raw", "direct"};
// From this many bytes before the end, the program's CPU time is read after every frame: it ends
// and is reaped soon after writing its last byte, and the readings stop there.
constexpr std::size_t kCloseWatch = 2 * 1024 * 1024;

/// One relay's flood with everything the scheduler says about it, advanced turn by turn.
class Flood {
 public:
  Flood(RelayKind kind, const RelayPrograms& programs, const std::string& path,
        std::span<const unsigned char> expected, ParentKind parent, const KernelThreads& kernel)
      : kind_(kind),
        programs_(programs),
        path_(path),
        expected_(expected),
        check_(expected),
        work_(parent),
        kernel_(kernel) {}

  bool done() const { return check_.done(); }

  Result<void> take_turn(std::size_t until, Clock::time_point deadline) {
    const TaskSample kernel_before = kernel_.sample();
    Result<TaskSample> reader_before = sample_this_thread();
    if (!reader_before) return std::move(reader_before).error();
    const auto begun = Clock::now();
    if (!relay_) {
      Result<std::unique_ptr<RelayProcess>> started =
          RelayProcess::start(kind_, programs_, flood_child(path_));
      if (!started) return std::move(started).error();
      relay_ = std::move(*started);
    }
    const std::size_t stop = std::min(until, expected_.size());
    while (!done() && (check_.received() < stop || check_.received() == expected_.size())) {
      Result<void> took = take_line(deadline);
      if (!took) return took;
    }
    elapsed_ += Clock::now() - begun;
    Result<TaskSample> reader_after = sample_this_thread();
    if (!reader_after) return std::move(reader_after).error();
    account_.reader += *reader_after - *reader_before;
    account_.kernel += kernel_.sample() - kernel_before;

    if (program_pid_ > 0) {
      if (Result<TaskSample> program = sample_process(program_pid_)) account_.program = *program;
    }
    if (!finished_) {
      if (!tracker_) tracker_ = std::make_unique<ProcessTracker>(relay_->pid());
      tracker_->update();
    }
    if (done() && !finished_) {
      // Read now, while the relay lasts: it ends only with its input.
      account_.relay = tracker_->total();
      finished_ = true;
    }
    return {};
  }

  Result<FloodAccount> finish() {
    if (*check_.exit_code() != 0)
      return Error("child exited with code " + std::to_string(*check_.exit_code()));
    Result<void> end = relay_->finish_cleanly();
    if (!end) return std::move(end).error();
    const double mib = static_cast<double>(expected_.size()) / (1024.0 * 1024.0);
    account_.seconds = std::chrono::duration<double>(elapsed_).count();
    account_.mib_per_second = mib / account_.seconds;
    if (program_) {
      // The schedstat readings run later than the last full sample.
      account_.program.cpu_ns = std::max(account_.program.cpu_ns, program_->last_cpu_ns());
    }
    account_.frames = account_.frame_sizes.size();
    return std::move(account_);
  }

  std::uint64_t checksum() const { return work_.checksum(); }

 private:
  Result<void> take_line(Clock::time_point deadline) {
    Result<OutputLine> line = check_.next(*relay_, deadline);
    if (!line) return std::move(line).error();
    const OutputLine& got = *line;
    if (!work_.parse(got)) return unexpected_line(got);
    if (got.type == OutputLine::Type::data) {
      const std::size_t count = got.bytes.size();
      work_.consume(reinterpret_cast<const unsigned char*>(got.bytes.data()), count);
      account_.frame_sizes.push_back(static_cast<std::uint16_t>(count));
      if (program_ && check_.received() + kCloseWatch >= expected_.size()) program_->update();
    } else if (got.type == OutputLine::Type::ready) {
      // The program exists once the ready frame has come. Looking for it is not the relay's
      // time.
      const auto looking = Clock::now();
      program_pid_ = find_child(relay_->pid());
      program_ = std::make_unique<CpuWatch>(program_pid_);
      elapsed_ -= Clock::now() - looking;
    }
    return {};
  }

  RelayKind kind_;
  const RelayPrograms& programs_;
  const std::string& path_;
  std::span<const unsigned char> expected_;
  FloodCheck check_;
  ParentWork work_;
  const KernelThreads& kernel_;
  std::unique_ptr<RelayProcess> relay_;
  std::unique_ptr<ProcessTracker> tracker_;
  pid_t program_pid_ = -1;
  std::unique_ptr<CpuWatch> program_;
  bool finished_ = false;
  Clock::duration elapsed_{0};
  FloodAccount account_;
};

}  // namespace

Result<std::vector<FloodAccount>> run_parent_flood(const RelayPrograms& programs,
                                                   const std::string& path,
                                                   std::span<const unsigned char> expected,
                                                   std::size_t turn_bytes, ParentKind parent,
                                                   int first) {
  const auto deadline = Clock::now() + 3 * run_timeout();
  const KernelThreads kernel;
  std::vector<std::unique_ptr<Flood>> floods;
  for (RelayKind kind : kKinds) {
    floods.push_back(std::make_unique<Flood>(kind, programs, path, expected, parent, kernel));
  }
  auto all_done = [&] {
    return std::all_of(floods.begin(), floods.end(), [](const auto& f) { return f->done(); });
  };
  for (std::size_t until = turn_bytes; !all_done(); until += turn_bytes) {
    for (int turn = 0; turn < kRelays; ++turn) {
      // Who goes first changes from round to round, so that no relay always follows the same one.
      const int i = (turn + first) % kRelays;
      Result<void> took = floods[i]->take_turn(until, deadline);
      if (!took) return std::move(took).error().wrap(std::string("flood, ") + kNames[i]);
    }
  }
  std::vector<FloodAccount> accounts;
  for (int i = 0; i < kRelays; ++i) {
    if (i > 0 && floods[i]->checksum() != floods[0]->checksum()) {
      return Error(std::string("the parent's checksum differs for ") + kNames[i]);
    }
    Result<FloodAccount> account = floods[i]->finish();
    if (!account) return std::move(account).error().wrap(std::string("flood, ") + kNames[i]);
    accounts.push_back(std::move(*account));
  }
  return accounts;
}

Result<std::vector<std::vector<double>>> run_parent_echo(const RelayPrograms& programs,
                                                         int round_trips, ParentKind parent,
                                                         int first) {
  const std::vector<std::string> child = echo_child();
  std::unique_ptr<RelayProcess> relays[kRelays];
  for (int i = 0; i < kRelays; ++i) {
    Result<std::unique_ptr<RelayProcess>> relay = RelayProcess::start(kKinds[i], programs, child);
    if (!relay) return std::move(relay).error();
    Result<void> ready = await_ready_and(**relay, kEchoReady);
    if (!ready) return std::move(ready).error().wrap(std::string("echo, ") + kNames[i]);
    relays[i] = std::move(*relay);
  }
  Result<std::unique_ptr<DirectTerminal>> direct =
      DirectTerminal::start(child, kEchoReady, programs.relay_cpu);
  if (!direct) return std::move(direct).error();

  ParentWork work(parent);
  std::vector<std::vector<double>> micros(kParticipants);
  // Turn about, one round trip each, so that all meet the same moods of a shared machine.
  for (int i = 0; i < kParticipants * round_trips; ++i) {
    const int who = (i + first) % kParticipants;
    const char sent = static_cast<char>('a' + i / kParticipants % 26);
    const auto deadline = Clock::now() + step_timeout();
    const auto before = Clock::now();
    if (who == kDirect) {
      Result<void> echoed = (*direct)->round_trip(sent, deadline);
      if (!echoed) return std::move(echoed).error();
      work.consume(reinterpret_cast<const unsigned char*>(&sent), 1);
    } else {
      RelayProcess& relay = *relays[who];
      Result<void> wrote = relay.send_input(std::string_view(&sent, 1));
      if (!wrote) return std::move(wrote).error();
      Result<std::optional<OutputLine>> line = relay.next_line(deadline);
      if (!line) return std::move(line).error();
      if (!line->has_value()) return Error("output ended during the echo run");
      const OutputLine& got = **line;
      if (got.type != OutputLine::Type::data || !work.parse(got) || got.bytes.size() != 1 ||
          got.bytes[0] != sent) {
        return unexpected_line(got);
      }
      work.consume(reinterpret_cast<const unsigned char*>(got.bytes.data()), 1);
    }
    const auto after = Clock::now();
    micros[who].push_back(std::chrono::duration<double, std::micro>(after - before).count());
  }
  for (auto& relay : relays) {
    Result<void> end = relay->finish_cleanly();
    if (!end) return std::move(end).error();
  }
  return micros;
}

ParentTable::Row& ParentTable::row(const std::string& name, const std::string& unit,
                                   Target target) {
  for (Row& existing : rows_) {
    if (existing.name == name) return existing;
  }
  rows_.push_back(Row{name, unit, target, {}});
  return rows_.back();
}

void ParentTable::add_flood(const std::vector<FloodAccount>& accounts) {
  auto per_mib = [](std::uint64_t value, const FloodAccount&, double scale) {
    return static_cast<double>(value) * scale;
  };
  for (int i = 0; i < kRelays; ++i) {
    const FloodAccount& a = accounts[i];
    const double mib = a.mib_per_second * a.seconds;
    const double ms = 1e-6 / mib;  // ns to ms per MiB
    const double count = 1.0 / mib;
    row("Throughput", "MiB/s", Target::python_ratio_at_least_1).values[i].push_back(
        a.mib_per_second);
    row("CPU per MiB, relay", "ms").values[i].push_back(per_mib(a.relay.cpu_ns, a, ms));
    row("CPU per MiB, reader (parent)", "ms").values[i].push_back(per_mib(a.reader.cpu_ns, a, ms));
    row("CPU per MiB, program (cat)", "ms").values[i].push_back(per_mib(a.program.cpu_ns, a, ms));
    row("CPU per MiB, kernel threads", "ms").values[i].push_back(per_mib(a.kernel.cpu_ns, a, ms));
    const double elapsed_ms = a.seconds * 1000 / mib;
    const double reader_wait = per_mib(a.reader.wait_ns, a, ms);
    row("Reader's time per MiB", "ms").values[i].push_back(elapsed_ms);
    row("Reader's time per MiB: waiting for a CPU", "ms").values[i].push_back(reader_wait);
    row("Reader's time per MiB: asleep, no frame to read", "ms")
        .values[i]
        .push_back(std::max(0.0, elapsed_ms - per_mib(a.reader.cpu_ns, a, ms) - reader_wait));
    row("Waiting for a CPU per MiB, relay", "ms").values[i].push_back(per_mib(a.relay.wait_ns, a, ms));
    row("Waiting for a CPU per MiB, program", "ms")
        .values[i]
        .push_back(per_mib(a.program.wait_ns, a, ms));
    row("CPU per MiB, all four", "ms")
        .values[i]
        .push_back(per_mib(a.relay.cpu_ns + a.reader.cpu_ns + a.program.cpu_ns + a.kernel.cpu_ns,
                           a, ms));
    row("Context switches per MiB, relay", "count")
        .values[i]
        .push_back(per_mib(a.relay.switches, a, count));
    row("Context switches per MiB, reader", "count")
        .values[i]
        .push_back(per_mib(a.reader.switches, a, count));
    row("Context switches per MiB, program", "count")
        .values[i]
        .push_back(per_mib(a.program.switches, a, count));
    row("Kernel thread runs per MiB", "count").values[i].push_back(per_mib(a.kernel.switches, a, count));
    row("Migrations per MiB, relay", "count").values[i].push_back(per_mib(a.relay.migrations, a, count));
    row("Migrations per MiB, reader", "count")
        .values[i]
        .push_back(per_mib(a.reader.migrations, a, count));
    row("Migrations per MiB, program", "count")
        .values[i]
        .push_back(per_mib(a.program.migrations, a, count));
    std::vector<double> sizes(a.frame_sizes.begin(), a.frame_sizes.end());
    const double full = static_cast<double>(
        std::count(a.frame_sizes.begin(), a.frame_sizes.end(), std::uint16_t{kMaxFrameBytes}));
    row("Data frames per MiB", "count").values[i].push_back(static_cast<double>(a.frames) * count);
    row("Data frame size, mean", "bytes")
        .values[i]
        .push_back(sizes.empty() ? 0
                                 : std::accumulate(sizes.begin(), sizes.end(), 0.0) /
                                       static_cast<double>(sizes.size()));
    row("Data frame size, median", "bytes").values[i].push_back(median(sizes));
    row("Data frames of 8192 bytes", "%")
        .values[i]
        .push_back(sizes.empty() ? 0 : 100.0 * full / static_cast<double>(sizes.size()));
    std::fprintf(stderr,
                 "  flood %s: %.0f MiB/s; CPU ms/MiB relay %.2f reader %.2f program %.2f kernel "
                 "%.2f; waiting for a CPU ms/MiB relay %.2f reader %.2f program %.2f; frames "
                 "%llu\n",
                 kNames[i], a.mib_per_second, per_mib(a.relay.cpu_ns, a, ms),
                 per_mib(a.reader.cpu_ns, a, ms), per_mib(a.program.cpu_ns, a, ms),
                 per_mib(a.kernel.cpu_ns, a, ms), per_mib(a.relay.wait_ns, a, ms), reader_wait,
                 per_mib(a.program.wait_ns, a, ms), static_cast<unsigned long long>(a.frames));
  }
}

void ParentTable::add_echo(const std::vector<std::vector<double>>& micros) {
  for (int i = 0; i < kParticipants; ++i) {
    row("Echo round trip p50", "µs").values[i].push_back(quantile(micros[i], 0.5));
    row("Echo round trip p99", "µs", Target::direct_ratio_at_most_2)
        .values[i]
        .push_back(quantile(micros[i], 0.99));
    row("Echo round trip max", "µs").values[i].push_back(quantile(micros[i], 1.0));
    std::fprintf(stderr, "  echo %s: p50 %.1f µs, p99 %.1f µs\n", kNames[i],
                 quantile(micros[i], 0.5), quantile(micros[i], 0.99));
  }
}

std::string ParentTable::render(bool* all_met) const {
  std::string table =
      "| Figure | Bridge | Python relay | Raw relay | Direct loop | Bridge / Python | "
      "Bridge / raw | Bridge / direct | Target | Met |\n"
      "|---|---:|---:|---:|---:|---:|---:|---:|---|---|\n";
  bool every = true;
  for (const Row& r : rows_) {
    auto cell = [&](int who) {
      return r.values[who].empty() ? std::string() : format(median(r.values[who]));
    };
    auto ratio = [&](int who) {
      const std::optional<double> value = paired_ratio(r.values[kBridge], r.values[who]);
      return value ? format(*value) : std::string();
    };
    std::string target;
    std::string met;
    if (r.target == Target::python_ratio_at_least_1) {
      const std::optional<double> value = paired_ratio(r.values[kBridge], r.values[kPython]);
      target = "bridge / Python ≥ 1";
      met = value && *value >= 1.0 ? "yes" : "**no**";
      every = every && value && *value >= 1.0;
    } else if (r.target == Target::direct_ratio_at_most_2) {
      const std::optional<double> value = paired_ratio(r.values[kBridge], r.values[kDirect]);
      target = "bridge / direct ≤ 2";
      met = value && *value <= 2.0 ? "yes" : "**no**";
      every = every && value && *value <= 2.0;
    }
    table += "| " + r.name + " (" + r.unit + ") | " + cell(kBridge) + " | " + cell(kPython) +
             " | " + cell(kRaw) + " | " + cell(kDirect) + " | " + ratio(kPython) + " | " +
             ratio(kRaw) + " | " + ratio(kDirect) + " | " + target + " | " + met + " |\n";
  }
  if (all_met) *all_met = every;
  (void)parent_;
  return table;
}

}  // namespace qlp::bench
