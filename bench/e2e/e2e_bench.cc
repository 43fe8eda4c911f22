// End-to-end benchmark: the built bridge against the raw baseline relay, driven as a parent drives
// them, round by round with every measurement of the bridge paired with one of the baseline made
// right next to it. The machine is shared and noisy, so the figures that count are the medians of
// the paired ratios, not absolute times.
//
//   qlp_e2e_bench [--rounds N] [--mib N] [--echoes N] [--starts N] [--sessions N]
//                 [--idle-ms N] [--smoke] [--check-targets] [--bridge PATH]
//                 [--baseline PATH | --baseline-bridge PATH]
//
// Prints a Markdown table on standard output and progress on standard error. Exit status 1 when
// a run fails (lost, altered or missing data, a relay that hangs or fails), or with
// --check-targets when a target is missed.
#include <sched.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "flood.h"
#include "parents.h"
#include "report.h"
#include "scale.h"
#include "workloads.h"

namespace qlp::bench {
namespace {

// Bytes read from one relay's flood before turning to the other's: large against what the
// pipes hold when a turn begins, small enough for many turns per run.
constexpr std::size_t kTurnBytes = 1024 * 1024;

struct Options {
  int rounds = 7;
  int mib = 64;
  int echoes = 2000;
  int starts = 50;
  int sessions = 50;
  int idle_ms = 5000;
  bool check_targets = false;
  bool pin = true;
  bool smoke = false;
  // Which tables: the pinned comparison with the raw baseline, and the two modes of real parents.
  bool pinned_mode = true;
  bool unpinned_mode = false;
  bool heavy_mode = false;
  // Workloads that load the machine, each run on its own: this many bridges at once (0: none),
  // and starting bridges until the kernel refuses a terminal.
  int scale = 0;
  bool exhaust = false;
  RelayPrograms programs{QLP_E2E_BRIDGE, QLP_E2E_BASELINE, QLP_E2E_PY_RELAY};
};

void usage() {
  std::fprintf(
      stderr,
      "usage: qlp_e2e_bench [--rounds N] [--mib N] [--echoes N] [--starts N] "
      "[--sessions N] [--idle-ms N] [--smoke] [--check-targets] [--no-pin] [--bridge PATH] "
      "[--baseline PATH | --baseline-bridge PATH] [--py-relay PATH] [--mode pinned|unpinned|heavy|all]\n"
      "       qlp_e2e_bench --scale N [--idle-ms N] [--bridge PATH]\n"
      "       qlp_e2e_bench --exhaust [--bridge PATH]\n");
  std::exit(2);
}

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    auto number = [&]() {
      const std::string text = value();
      char* end = nullptr;
      const long n = std::strtol(text.c_str(), &end, 10);
      if (end == text.c_str() || *end != '\0' || n < 0 || n > 1000000) usage();
      return static_cast<int>(n);
    };
    if (arg == "--rounds") {
      options.rounds = number();
    } else if (arg == "--mib") {
      options.mib = number();
    } else if (arg == "--echoes") {
      options.echoes = number();
    } else if (arg == "--starts") {
      options.starts = number();
    } else if (arg == "--sessions") {
      options.sessions = number();
    } else if (arg == "--idle-ms") {
      options.idle_ms = number();
    } else if (arg == "--smoke") {
      // A few seconds: enough to see every workload run and its data arrive intact.
      options.rounds = 1;
      options.mib = 1;
      options.echoes = 20;
      options.starts = 3;
      options.sessions = 2;
      options.idle_ms = 200;
      options.smoke = true;
      options.pinned_mode = options.unpinned_mode = options.heavy_mode = true;
    } else if (arg == "--no-pin") {
      options.pin = false;
    } else if (arg == "--check-targets") {
      options.check_targets = true;
    } else if (arg == "--bridge") {
      options.programs.bridge = value();
    } else if (arg == "--baseline") {
      options.programs.baseline = value();
    } else if (arg == "--baseline-bridge") {
      options.programs.baseline = value();
      options.programs.baseline_is_bridge = true;
    } else if (arg == "--scale") {
      options.scale = number();
    } else if (arg == "--exhaust") {
      options.exhaust = true;
    } else if (arg == "--py-relay") {
      options.programs.python = value();
    } else if (arg == "--mode") {
      const std::string mode = value();
      options.pinned_mode = mode == "pinned" || mode == "all";
      options.unpinned_mode = mode == "unpinned" || mode == "all";
      options.heavy_mode = mode == "heavy" || mode == "all";
      if (!options.pinned_mode && !options.unpinned_mode && !options.heavy_mode) usage();
    } else {
      usage();
    }
  }
  return options;
}

/// Bytes of every value in an order no terminal or encoder could guess.
std::vector<unsigned char> make_payload(std::size_t size) {
  std::vector<unsigned char> bytes(size);
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  for (std::size_t i = 0; i < size; i += 8) {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    const std::uint64_t word = state * 0x2545F4914F6CDD1Du;
    std::memcpy(bytes.data() + i, &word, std::min<std::size_t>(8, size - i));
  }
  return bytes;
}

/// Writes `bytes` to a new temporary file; its path, or "" on failure.
std::string write_payload_file(const std::vector<unsigned char>& bytes) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/qlp-e2e-XXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd < 0) return "";
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      ::close(fd);
      ::unlink(path.c_str());
      return "";
    }
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return path;
}

const char* name(RelayKind kind) { return kind == RelayKind::bridge ? "bridge" : "baseline"; }

[[noreturn]] void fail(const std::string& what, const Error& error) {
  std::fprintf(stderr, "qlp_e2e_bench: %s: %s\n", what.c_str(), error.message().c_str());
  for (const Error* cause = error.cause(); cause; cause = cause->cause()) {
    std::fprintf(stderr, "  caused by: %s\n", cause->message().c_str());
  }
  std::exit(1);
}

template <typename T>
T take(Result<T> result, const std::string& what) {
  if (!result) fail(what, result.error());
  return std::move(result).value();
}

double kib(std::uint64_t value) { return static_cast<double>(value); }

/// Adds a figure of both relays to `metric`.
void add(Metric& metric, RelayKind kind, double value) {
  (kind == RelayKind::bridge ? metric.bridge : metric.baseline).push_back(value);
}

std::string header(const Options& options, const std::string& placement) {
  char date[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", std::localtime(&now));
  utsname system{};
  ::uname(&system);
  char text[512];
  std::snprintf(text, sizeof text,
                "Run %s on %s %s, %ld cores (%s). %d rounds; per round per relay: %d MiB, %d "
                "echoes, %d starts, %d idle sessions watched for %d ms.\n\n",
                date, system.sysname, system.release, ::sysconf(_SC_NPROCESSORS_ONLN),
                placement.c_str(), options.rounds, options.mib, options.echoes, options.starts,
                options.sessions, options.idle_ms);
  return text;
}

}  // namespace

/// Every figure of the table, filled round by round.
struct Figures {
  explicit Figures(const Options& options)
      : throughput("Throughput, " + std::to_string(options.mib) + " MiB", "MiB/s",
                   {Target::Kind::ratio_at_least, 0.95}),
        many_pss("PSS per session, " + std::to_string(options.sessions) + " idle", "KiB",
                 {Target::Kind::bridge_at_most, 512}),
        many_rss("RSS per session, " + std::to_string(options.sessions) + " idle", "KiB"),
        idle_cpu("Idle CPU, " + std::to_string(options.sessions) + " sessions over " +
                     std::to_string(options.idle_ms) + " ms",
                 "ms", {Target::Kind::bridge_at_most, 0}),
        idle_wakeups("Idle wake-ups, " + std::to_string(options.sessions) + " sessions over " +
                         std::to_string(options.idle_ms) + " ms",
                     "count", {Target::Kind::bridge_at_most, 0}) {}

  Metric throughput;
  Metric cpu{"CPU time per MiB", "ms", {Target::Kind::ratio_at_most, 1.15}};
  Metric echo_p50{"Echo round trip p50", "µs", {Target::Kind::ratio_at_most, 1.2}};
  Metric echo_p99{"Echo round trip p99", "µs", {Target::Kind::ratio_at_most, 1.5}};
  Metric echo_max{"Echo round trip max", "µs"};
  Metric to_ready{"Start to ready", "ms", {Target::Kind::ratio_at_most, 1.5}};
  Metric to_exit{"Start to exit of /bin/true", "ms"};
  Metric idle_rss{"Idle session RSS", "KiB"};
  Metric idle_pss{"Idle session PSS", "KiB"};
  Metric many_pss;
  Metric many_rss;
  Metric flood_peak{"Peak RSS after the flood", "KiB"};
  Metric flood_growth{
      "Peak RSS in the flood above idle RSS", "KiB", {Target::Kind::bridge_at_most, 1024}};
  Metric idle_cpu;
  Metric idle_wakeups;

  std::vector<Metric> all() const {
    return {throughput, cpu,        echo_p50,     echo_p99, echo_max,
            to_ready,   to_exit,    idle_rss,     idle_pss, many_pss,
            many_rss,   flood_peak, flood_growth, idle_cpu, idle_wakeups};
  }
};

constexpr RelayKind kKinds[] = {RelayKind::bridge, RelayKind::baseline};

int index(RelayKind kind) { return kind == RelayKind::bridge ? 0 : 1; }

/// Where the relays run for the flood and the echoes. Left free, the scheduler's placement of a
/// relay, its child and the benchmark puts a whole run into a fast or a slow mode (a factor of
/// two and more here, held for the run's whole length even while bridge and baseline take
/// turns), and that, rather than the relay, decides a round's ratio. So for these two workloads
/// the benchmark runs on one CPU and starts the relays, whose children inherit it, on another:
/// the same placement for both. Start-up runs unpinned, as a parent would start the bridge;
/// its starts alternate finely enough to pair well.
struct Placement {
  int own_cpu = -1;  ///< -1: nothing pinned.
  int relay_cpu = -1;

  std::string describe() const {
    if (own_cpu < 0) return "not pinned";
    return "floods and echoes: benchmark on CPU " + std::to_string(own_cpu) + ", relays on CPU " +
           std::to_string(relay_cpu);
  }
};

/// The first and the last CPU this process may use, when there are two and --no-pin was not
/// given.
Placement choose_placement(const Options& options) {
  Placement placement;
  cpu_set_t allowed;
  if (!options.pin || ::sched_getaffinity(0, sizeof allowed, &allowed) != 0 ||
      CPU_COUNT(&allowed) < 2) {
    return placement;
  }
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    if (placement.own_cpu < 0) placement.own_cpu = cpu;
    placement.relay_cpu = cpu;
  }
  return placement;
}

/// While it lives, this process runs on the placement's own CPU and `programs()` starts relays
/// on the relay CPU; then this process may run anywhere it could before.
class Pinned {
 public:
  Pinned(const Options& options, const Placement& placement) : programs_(options.programs) {
    pinned_ = placement.own_cpu >= 0 && ::sched_getaffinity(0, sizeof before_, &before_) == 0;
    if (!pinned_) return;
    cpu_set_t own;
    CPU_ZERO(&own);
    CPU_SET(placement.own_cpu, &own);
    ::sched_setaffinity(0, sizeof own, &own);
    programs_.relay_cpu = placement.relay_cpu;
  }
  ~Pinned() {
    if (pinned_) ::sched_setaffinity(0, sizeof before_, &before_);
  }
  Pinned(const Pinned&) = delete;
  Pinned& operator=(const Pinned&) = delete;

  const RelayPrograms& programs() const { return programs_; }

 private:
  RelayPrograms programs_;
  bool pinned_ = false;
  cpu_set_t before_;
};

void measure_throughput(const Options& options, const Placement& placement, const std::string& path,
                        const std::vector<unsigned char>& payload, Figures& figures) {
  Result<ThroughputRuns> result = [&] {
    Pinned pinned(options, placement);
    return run_throughput(pinned.programs(), path, payload, kTurnBytes);
  }();
  ThroughputRuns runs = take(std::move(result), "throughput");
  for (RelayKind kind : kKinds) {
    const ThroughputRun& run = kind == RelayKind::bridge ? runs.bridge : runs.baseline;
    add(figures.throughput, kind, run.mib_per_second);
    add(figures.cpu, kind, run.cpu_ms_per_mib);
    add(figures.flood_peak, kind, kib(run.memory.peak_rss_kib));
    std::fprintf(stderr, "  throughput %s: %.0f MiB/s, %.2f ms CPU per MiB, %llu frames\n",
                 name(kind), run.mib_per_second, run.cpu_ms_per_mib,
                 static_cast<unsigned long long>(run.frames));
  }
}

void measure_echo(const Options& options, const Placement& placement, Figures& figures) {
  Result<EchoRuns> result = [&] {
    Pinned pinned(options, placement);
    return run_echo(pinned.programs(), options.echoes);
  }();
  EchoRuns runs = take(std::move(result), "echo");
  for (RelayKind kind : kKinds) {
    const std::vector<double>& micros = kind == RelayKind::bridge ? runs.bridge : runs.baseline;
    add(figures.echo_p50, kind, quantile(micros, 0.5));
    add(figures.echo_p99, kind, quantile(micros, 0.99));
    add(figures.echo_max, kind, quantile(micros, 1.0));
    std::fprintf(stderr, "  echo %s: p50 %.1f µs, p99 %.1f µs\n", name(kind), quantile(micros, 0.5),
                 quantile(micros, 0.99));
  }
}

void measure_starts(const Options& options, Figures& figures) {
  std::vector<double> ready_ms[2];
  std::vector<double> exit_ms[2];
  // Alternating start by start, like the other workloads' turns.
  for (int i = 0; i < options.starts; ++i) {
    for (RelayKind kind : kKinds) {
      StartRun run =
          take(run_start(kind, options.programs), std::string("start-up, ") + name(kind));
      ready_ms[index(kind)].push_back(run.to_ready_ms);
      exit_ms[index(kind)].push_back(run.to_exit_ms);
    }
  }
  for (RelayKind kind : kKinds) {
    add(figures.to_ready, kind, median(ready_ms[index(kind)]));
    add(figures.to_exit, kind, median(exit_ms[index(kind)]));
    std::fprintf(stderr, "  start %s: ready %.2f ms, exit %.2f ms\n", name(kind),
                 median(ready_ms[index(kind)]), median(exit_ms[index(kind)]));
  }
}

void measure_idle(const Options& options, Figures& figures) {
  for (RelayKind kind : kKinds) {
    IdleRun run = take(run_idle(kind, options.programs, options.sessions,
                                std::chrono::milliseconds(options.idle_ms)),
                       std::string("idle sessions, ") + name(kind));
    add(figures.idle_rss, kind, kib(run.one.rss_kib));
    add(figures.idle_pss, kind, kib(run.one.pss_kib));
    add(figures.many_pss, kind, run.pss_per_session_kib);
    add(figures.many_rss, kind, run.rss_per_session_kib);
    add(figures.idle_cpu, kind, run.cpu_ms);
    add(figures.idle_wakeups, kind, static_cast<double>(run.wakeups));
    std::fprintf(stderr, "  idle %s: PSS %.0f KiB per session\n", name(kind),
                 run.pss_per_session_kib);
    if (options.mib > 0) {
      // This round's flood against this round's idle session.
      const std::vector<double>& peaks =
          kind == RelayKind::bridge ? figures.flood_peak.bridge : figures.flood_peak.baseline;
      add(figures.flood_growth, kind, peaks.back() - kib(run.one.rss_kib));
    }
  }
}

bool run_pinned(const Options& options, const Placement& placement, const std::string& path,
                const std::vector<unsigned char>& payload);

/// The scale workload or the exhaustion run.
int run_many(const Options& options) {
  char date[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", std::localtime(&now));
  double load = 0;
  if (FILE* file = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(file, "%lf", &load) != 1) load = 0;
    std::fclose(file);
  }
  if (options.scale > 0) {
    std::fprintf(stderr, "scale: %d bridges\n", options.scale);
    ScaleRun run = take(run_scale(options.programs.bridge, options.scale, options.idle_ms),
                        "scale");
    std::printf("## %d bridges at once\n\nRun %s, load average %.1f before it.\n\n%s\n",
                options.scale, date, load, render_scale(run).c_str());
    if (run.left_behind > 0) return 1;
  }
  if (options.exhaust) {
    std::fprintf(stderr, "exhaustion: starting bridges until the kernel refuses a terminal\n");
    ExhaustionRun run = take(run_exhaustion(options.programs.bridge,
                                            "/work/wt/PTY_EXHAUSTION_RUNNING"),
                             "exhaustion");
    std::printf("## Until the kernel refuses a terminal\n\nRun %s, load average %.1f before "
                "it.\n\n%s\n",
                date, load, render_exhaustion(run).c_str());
    if (run.left_behind > 0 || run.ended_cleanly != run.running || run.echoed != run.running) {
      return 1;
    }
  }
  return 0;
}
bool run_parents(const Options& options, ParentKind parent, const Placement& placement,
                 const std::string& path, const std::vector<unsigned char>& payload);

int run_benchmark(int argc, char** argv) {
  const Options options = parse_options(argc, argv);
  if (options.scale > 0 || options.exhaust) return run_many(options);
  const Placement placement = choose_placement(options);
  const std::vector<unsigned char> payload =
      make_payload(static_cast<std::size_t>(options.mib) * 1024 * 1024);
  const std::string path = options.mib > 0 ? write_payload_file(payload) : "-";
  if (path.empty()) {
    std::perror("qlp_e2e_bench: cannot write the payload file");
    return 1;
  }

  bool all_met = true;
  if (options.pinned_mode) {
    all_met = run_pinned(options, placement, path, payload) && all_met;
    all_met = run_parents(options, ParentKind::light, placement, path, payload) && all_met;
  }
  const Placement free;
  if (options.unpinned_mode) {
    all_met = run_parents(options, ParentKind::light, free, path, payload) && all_met;
  }
  if (options.heavy_mode) {
    all_met = run_parents(options, ParentKind::heavy, free, path, payload) && all_met;
  }
  if (options.mib > 0) ::unlink(path.c_str());
  return options.check_targets && !all_met ? 1 : 0;
}

/// The pinned comparison of the bridge with the raw baseline; whether every target held.
bool run_pinned(const Options& options, const Placement& placement, const std::string& path,
                const std::vector<unsigned char>& payload) {
  Figures figures(options);
  for (int round = 1; round <= options.rounds; ++round) {
    std::fprintf(stderr, "round %d of %d\n", round, options.rounds);
    if (options.mib > 0) measure_throughput(options, placement, path, payload, figures);
    if (options.echoes > 0) measure_echo(options, placement, figures);
    if (options.starts > 0) measure_starts(options, figures);
    if (options.sessions > 0) measure_idle(options, figures);
  }

  bool all_met = false;
  const std::string table = render_table(figures.all(), &all_met);
  std::printf(
      "## Pinned, raw baseline\n\n%s%s\nBridge and baseline: medians over the rounds. Ratio: "
      "median over the rounds of bridge / baseline in the same round.\n%s\n\n",
      header(options, placement.describe()).c_str(), table.c_str(),
      options.smoke ? "Smoke run: too short for its figures to mean anything."
      : all_met     ? "Every target met."
                    : "Some targets missed.");
  std::fflush(stdout);
  return all_met;
}

/// The floods and echoes through all three relays, with the direct loop's echoes: pinned like the
/// raw comparison when `placement` pins, else nothing pinned (real parents). Whether every target
/// held.
bool run_parents(const Options& options, ParentKind parent, const Placement& placement,
                 const std::string& path, const std::vector<unsigned char>& payload) {
  ParentTable table(parent);
  const bool pinned_run = placement.own_cpu >= 0;
  const std::string mode = pinned_run                    ? "pinned, three relays"
                           : parent == ParentKind::light ? "unpinned"
                                                         : "heavy parent";
  for (int round = 1; round <= options.rounds; ++round) {
    std::fprintf(stderr, "%s, round %d of %d\n", mode.c_str(), round, options.rounds);
    if (options.mib > 0) {
      Result<std::vector<FloodAccount>> flood = [&] {
        Pinned pinned(options, placement);
        return run_parent_flood(pinned.programs(), path, payload, kTurnBytes, parent,
                                (round - 1) % kRelays);
      }();
      table.add_flood(take(std::move(flood), mode + " flood"));
    }
    if (options.echoes > 0) {
      Result<std::vector<std::vector<double>>> echo = [&] {
        Pinned pinned(options, placement);
        return run_parent_echo(pinned.programs(), options.echoes, parent,
                               (round - 1) % kParticipants);
      }();
      table.add_echo(take(std::move(echo), mode + " echo"));
    }
  }
  bool all_met = false;
  const std::string text = table.render(&all_met);
  std::printf(
      "## %s\n\n%s%s\nColumns: medians over the rounds; ratios: median over the rounds of the "
      "bridge's figure / the other's in the same round.\n%s\n\n",
      pinned_run                    ? "Pinned, three relays"
      : parent == ParentKind::light ? "Unpinned, light parent"
                                    : "Unpinned, heavy parent",
      header(options, pinned_run ? placement.describe() + "; the parent decodes Base64"
                      : parent == ParentKind::light
                          ? "nothing pinned; the parent decodes Base64"
                          : "nothing pinned; the parent parses JSON, decodes Base64 and runs "
                            "every byte through a terminal parser")
          .c_str(),
      text.c_str(),
      options.smoke ? "Smoke run: too short for its figures to mean anything."
      : all_met     ? "Every target met."
                    : "Some targets missed.");
  std::fflush(stdout);
  return all_met;
}

}  // namespace qlp::bench

int main(int argc, char** argv) { return qlp::bench::run_benchmark(argc, argv); }
