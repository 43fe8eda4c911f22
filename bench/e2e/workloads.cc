#include "workloads.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

#include "common.h"

namespace qlp::bench {
namespace {

using std::chrono::milliseconds;

// After ready, the bridge still starts its exit watcher; idle is measured once all is quiet.
constexpr milliseconds kSettle{200};

double ms_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace

Result<EchoRuns> run_echo(const RelayPrograms& programs, int round_trips) {
  const std::vector<std::string> child = echo_child();
  std::unique_ptr<RelayProcess> relays[2];
  for (RelayKind kind : {RelayKind::bridge, RelayKind::baseline}) {
    Result<std::unique_ptr<RelayProcess>> relay = RelayProcess::start(kind, programs, child);
    if (!relay) return std::move(relay).error();
    Result<void> ready = await_ready_and(**relay, kEchoReady);
    if (!ready) return std::move(ready).error();
    relays[kind == RelayKind::bridge ? 0 : 1] = std::move(*relay);
  }

  EchoRuns runs;
  runs.bridge.reserve(static_cast<std::size_t>(round_trips));
  runs.baseline.reserve(static_cast<std::size_t>(round_trips));
  // Turn about, one round trip each, so that both meet the same moods of a shared machine.
  for (int i = 0; i < 2 * round_trips; ++i) {
    RelayProcess& relay = *relays[i % 2];
    const char sent = static_cast<char>('a' + i / 2 % 26);
    const auto deadline = Clock::now() + step_timeout();
    const auto before = Clock::now();
    Result<void> wrote = relay.send_input(std::string_view(&sent, 1));
    if (!wrote) return std::move(wrote).error();
    Result<std::optional<OutputLine>> line = relay.next_line(deadline);
    const auto after = Clock::now();
    if (!line) return std::move(line).error();
    if (!line->has_value()) return Error("output ended during the echo run");
    const OutputLine& got = **line;
    if (got.type != OutputLine::Type::data || got.bytes != std::string_view(&sent, 1)) {
      return unexpected_line(got);
    }
    (i % 2 == 0 ? runs.bridge : runs.baseline)
        .push_back(std::chrono::duration<double, std::micro>(after - before).count());
  }
  // Each relay hangs its child up at the end of its input; the exit frame comes last.
  for (auto& relay : relays) {
    Result<void> end = relay->finish_cleanly();
    if (!end) return std::move(end).error();
  }
  return runs;
}

Result<StartRun> run_start(RelayKind kind, const RelayPrograms& programs) {
  const auto started = Clock::now();
  const auto deadline = started + step_timeout();
  Result<std::unique_ptr<RelayProcess>> relay = RelayProcess::start(kind, programs, {"/bin/true"});
  if (!relay) return std::move(relay).error();
  StartRun run;
  bool ready = false;
  for (;;) {
    Result<std::optional<OutputLine>> line = (*relay)->next_line(deadline);
    if (!line) return std::move(line).error();
    if (!line->has_value()) return Error("output ended before the exit frame");
    const OutputLine& got = **line;
    if (got.type == OutputLine::Type::ready && !ready) {
      ready = true;
      run.to_ready_ms = ms_between(started, Clock::now());
    } else if (got.type == OutputLine::Type::exit && ready && got.code == 0) {
      run.to_exit_ms = ms_between(started, Clock::now());
      break;
    } else {
      return unexpected_line(got);
    }
  }
  Result<void> end = (*relay)->finish_cleanly();
  if (!end) return std::move(end).error();
  return run;
}

Result<IdleRun> run_idle(RelayKind kind, const RelayPrograms& programs, int sessions,
                         milliseconds window) {
  std::vector<std::unique_ptr<RelayProcess>> relays;
  IdleRun run;
  for (int i = 0; i < sessions; ++i) {
    Result<std::unique_ptr<RelayProcess>> relay = RelayProcess::start(kind, programs, {"/bin/cat"});
    if (!relay) return std::move(relay).error();
    relays.push_back(std::move(*relay));
    Result<void> ready = await_ready_and(*relays.back(), 0);
    if (!ready) return std::move(ready).error();
    if (i == 0) {
      std::this_thread::sleep_for(kSettle);
      Result<MemoryUse> one = read_memory(relays[0]->pid());
      if (!one) return std::move(one).error();
      run.one = *one;
    }
  }
  std::this_thread::sleep_for(kSettle);

  std::uint64_t pss = 0;
  std::uint64_t rss = 0;
  for (const auto& relay : relays) {
    Result<MemoryUse> memory = read_memory(relay->pid());
    if (!memory) return std::move(memory).error();
    pss += memory->pss_kib;
    rss += memory->rss_kib;
  }
  run.pss_per_session_kib = static_cast<double>(pss) / sessions;
  run.rss_per_session_kib = static_cast<double>(rss) / sessions;

  auto sample = [&]() -> Result<std::pair<std::chrono::nanoseconds, std::uint64_t>> {
    std::chrono::nanoseconds cpu{0};
    std::uint64_t switches = 0;
    for (const auto& relay : relays) {
      Result<std::chrono::nanoseconds> used = cpu_time(relay->pid());
      if (!used) return std::move(used).error();
      Result<std::uint64_t> count = context_switches(relay->pid());
      if (!count) return std::move(count).error();
      cpu += *used;
      switches += *count;
    }
    return std::make_pair(cpu, switches);
  };
  auto before = sample();
  if (!before) return std::move(before).error();
  // The measurement window itself: nothing is awaited, the relays are watched while idle.
  std::this_thread::sleep_for(window);
  auto after = sample();
  if (!after) return std::move(after).error();
  run.cpu_ms = std::chrono::duration<double, std::milli>(after->first - before->first).count();
  run.wakeups = after->second - before->second;

  // End them all at once, then collect them.
  for (auto& relay : relays) relay->close_input();
  for (auto& relay : relays) {
    Result<void> end = relay->finish_cleanly();
    if (!end) return std::move(end).error();
  }
  return run;
}

}  // namespace qlp::bench
