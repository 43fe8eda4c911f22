// The benchmark's C++ parent as a program of its own, for comparing other parents (the Node.js
// client) with it run by run:
//
//   qlp_frame_reader BRIDGE flood FILE   one session running `cat FILE` with output processing
//                                        off; prints {"bytes":N,"seconds":S,"cpuMs":C}
//   qlp_frame_reader BRIDGE echo COUNT   COUNT one-byte round trips through a raw `cat`; prints
//                                        {"microseconds":[...]}
//
// Every byte is decoded and checked: a flood must deliver exactly the file's length, an echo
// exactly the byte sent.
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common.h"
#include "relay_process.h"

namespace qlp::bench {
namespace {

[[noreturn]] void fail(const std::string& what, const Error& error) {
  std::fprintf(stderr, "qlp_frame_reader: %s: %s\n", what.c_str(), error.message().c_str());
  std::exit(1);
}

template <typename T>
T take(Result<T> result, const std::string& what) {
  if (!result) fail(what, result.error());
  return std::move(result).value();
}

double own_cpu_ms() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

int flood(const RelayPrograms& programs, const std::string& file) {
  struct stat info {};
  if (stat(file.c_str(), &info) != 0) fail("flood", Error("cannot stat " + file));
  const auto started = Clock::now();
  const double cpu_before = own_cpu_ms();
  auto relay = take(RelayProcess::start(RelayKind::bridge, programs, flood_child(file)), "start");
  const auto deadline = started + run_timeout();
  std::uint64_t received = 0;
  bool exited = false;
  for (;;) {
    std::optional<OutputLine> line = take(relay->next_line(deadline), "read");
    if (!line) break;
    if (line->type == OutputLine::Type::data) {
      if (line->bytes.empty()) fail("flood", unexpected_line(*line));
      received += line->bytes.size();
    } else if (line->type == OutputLine::Type::exit && line->code == 0) {
      exited = true;
      // The bridge still forwards what is left in the terminal, then ends its output.
      relay->close_input();
    } else if (line->type != OutputLine::Type::ready) {
      fail("flood", unexpected_line(*line));
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  const double cpu_ms = own_cpu_ms() - cpu_before;
  take(relay->finish(Clock::now() + step_timeout()), "finish");
  if (!exited || received != static_cast<std::uint64_t>(info.st_size)) {
    fail("flood", Error("received " + std::to_string(received) + " of " +
                        std::to_string(info.st_size) + " bytes"));
  }
  std::printf("{\"bytes\":%llu,\"seconds\":%.6f,\"cpuMs\":%.3f}\n",
              static_cast<unsigned long long>(received), seconds, cpu_ms);
  return 0;
}

int echo(const RelayPrograms& programs, int count) {
  auto relay = take(RelayProcess::start(RelayKind::bridge, programs, echo_child()), "start");
  take(await_ready_and(*relay, kEchoReady), "echo");
  std::string out = "{\"microseconds\":[";
  for (int i = 0; i < count; ++i) {
    const char sent = static_cast<char>('a' + i % 26);
    const auto before = Clock::now();
    take(relay->send_input(std::string_view(&sent, 1)), "send");
    std::optional<OutputLine> line = take(relay->next_line(Clock::now() + step_timeout()), "read");
    const auto after = Clock::now();
    if (!line || line->type != OutputLine::Type::data ||
        line->bytes != std::string_view(&sent, 1)) {
      fail("echo", line ? unexpected_line(*line) : Error("output ended during the echo run"));
    }
    char figure[32];
    std::snprintf(figure, sizeof figure, "%s%.1f", i == 0 ? "" : ",",
                  std::chrono::duration<double, std::micro>(after - before).count());
    out += figure;
  }
  out += "]}";
  take(relay->finish_cleanly(), "finish");
  std::puts(out.c_str());
  return 0;
}

}  // namespace
}  // namespace qlp::bench

int main(int argc, char** argv) {
  using namespace qlp::bench;
  if (argc != 4) {
    std::fprintf(stderr, "usage: qlp_frame_reader BRIDGE flood FILE | BRIDGE echo COUNT\n");
    return 2;
  }
  RelayPrograms programs;
  programs.bridge = argv[1];
  const std::string mode = argv[2];
  if (mode == "flood") return flood(programs, argv[3]);
  if (mode == "echo") return echo(programs, std::atoi(argv[3]));
  std::fprintf(stderr, "qlp_frame_reader: unknown mode %s\n", mode.c_str());
  return 2;
}
