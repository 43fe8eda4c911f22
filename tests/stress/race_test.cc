// The behaviours that depend on thread timing, each run many times
// (QLP_STRESS_REPEAT, default 300): every run must show the guaranteed frame
// order and lose no byte, whichever thread wins.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "stress/session_checks.h"
#include "support/bridge_process.h"
#include "support/test_support.h"

namespace qlp::test {
namespace {

using std::chrono::milliseconds;
using namespace std::chrono_literals;

constexpr long kDefaultRepeat = 300;

milliseconds deadline() { return scaled(10000ms); }

long repeat() { return env_count("QLP_STRESS_REPEAT", kDefaultRepeat); }

/// Tallies of which way each race went, printed after the runs so that a
/// count of zero (a race that never happened) is visible.
using Tally = std::map<std::string, int>;

void report(const Tally& tally) {
  std::string line;
  for (const auto& [outcome, count] : tally) {
    line += (line.empty() ? "" : ", ") + outcome + ": " + std::to_string(count);
  }
  std::cout << "[ outcome  ] " << line << std::endl;
  ::testing::Test::RecordProperty("outcomes", line);
}

/// Runs `once(i, tally)` repeat() times; each run returns "" or what went
/// wrong. Stops after a few failures so that one fault does not flood the log.
void repeat_race(const std::function<std::string(long, Tally&)>& once) {
  Tally tally;
  int failures = 0;
  const long runs = repeat();
  for (long i = 0; i < runs && failures < 3; ++i) {
    std::string fault = once(i, tally);
    if (!fault.empty()) {
      ADD_FAILURE() << "run " << i << " of " << runs << ": " << fault;
      ++failures;
    }
  }
  report(tally);
}

/// What every race ends with: the bridge's status, no diagnostic, no
/// half-written frame, and the child gone. A session with its exit frame has
/// had its child reaped by the bridge; `unreaped`, seen while the session ran,
/// is a child that had no exit frame and must be gone now the bridge is.
std::string ending_faults(BridgeProcess& bridge, int expected_status,
                          std::optional<ProcessId> unreaped = std::nullopt) {
  int status = bridge.wait_exit(deadline());
  if (status != expected_status) return "bridge status " + std::to_string(status);
  if (!bridge.unterminated_output().empty())
    return "half-written frame: " + bridge.unterminated_output();
  std::string diagnostic = bridge.stderr_text();
  if (!diagnostic.empty()) return "standard error: " + diagnostic;
  if (unreaped && !wait_process_gone(*unreaped, deadline()))
    return "child " + std::to_string(unreaped->pid) + " left running";
  return "";
}

/// Reads data frames until the joined data satisfies `enough`; frames go to `frames`.
bool read_until(BridgeProcess& bridge, std::vector<ParsedFrame>& frames, std::string& data,
                const std::function<bool(const std::string&)>& enough) {
  while (!enough(data)) {
    std::optional<ParsedFrame> frame = bridge.next_frame(deadline());
    if (!frame) return false;
    if (frame->type == "data") data += frame->data;
    frames.push_back(*frame);
  }
  return true;
}

/// The child's flood after its announcement, checked against the pattern.
std::string flood_after_announcement(const std::string& data, std::optional<Announcement> child,
                                     std::optional<std::uint64_t> expected = {}) {
  if (!child) return "no announcement in: " + data.substr(0, 40);
  return flood_faults(data.substr(child->length), expected);
}

/// One session of a child that writes at once: data frames may come before
/// the ready frame, the exit frame only after it, and every byte arrives.
std::string output_before_ready_once(bool& data_first) {
  constexpr std::uint64_t kBytes = 4096;
  BridgeProcess bridge;
  bridge.spawn(stress_child(), {"flood", std::to_string(kBytes)});
  std::vector<ParsedFrame> frames;
  std::optional<ParsedFrame> exit = bridge.wait_for("exit", deadline(), &frames);
  if (!exit) return "no exit frame";
  frames.push_back(*exit);
  bridge.close_stdin();
  for (ParsedFrame& frame : bridge.read_all(deadline())) frames.push_back(frame);
  if (std::string fault = order_faults(frames); !fault.empty()) return fault;
  data_first = frames.front().type == "data";
  std::string data = joined_data(frames);
  std::optional<Announcement> child = announcement(data);
  if (std::string fault = flood_after_announcement(data, child, kBytes); !fault.empty())
    return fault;
  return ending_faults(bridge, 0);
}

TEST(RaceTest, OutputMayPrecedeReadyButTheExitFrameFollowsIt) {
  // The bridge writes the ready frame microseconds after the child has been
  // started, well before a dynamically linked child gets to write anything.
  // Sessions run a few at once so that the bridge is sometimes preempted in
  // between, and the data frame comes first.
  constexpr int kAtOnce = 4;
  repeat_race([](long, Tally& tally) -> std::string {
    std::string faults[kAtOnce];
    bool data_first[kAtOnce] = {};
    std::vector<std::thread> sessions;
    for (int s = 0; s < kAtOnce; ++s) {
      sessions.emplace_back([&, s] { faults[s] = output_before_ready_once(data_first[s]); });
    }
    for (std::thread& session : sessions) session.join();
    for (int s = 0; s < kAtOnce; ++s) {
      if (!faults[s].empty()) return faults[s];
      tally[data_first[s] ? "data before ready" : "ready first"]++;
    }
    return "";
  });
}

TEST(RaceTest, DataFramesBeforeAndAfterTheExitFrameLoseNothing) {
  repeat_race([](long i, Tally& tally) -> std::string {
    const std::uint64_t bytes = 32 * 1024 + (i * 7919) % (96 * 1024);
    BridgeProcess bridge;
    bridge.spawn(stress_child(), {"flood", std::to_string(bytes)});
    std::vector<ParsedFrame> frames;
    std::optional<ParsedFrame> exit = bridge.wait_for("exit", deadline(), &frames);
    if (!exit) return "no exit frame";
    std::string data = joined_data(frames);
    const std::size_t before_exit = data.size();
    frames.push_back(*exit);
    // Standard input stays open: the session goes on, and so does the pump.
    bool complete = read_until(bridge, frames, data, [&](const std::string& got) {
      std::optional<Announcement> child = announcement(got);
      return child && got.size() >= child->length + bytes;
    });
    if (!complete)
      return "only " + std::to_string(data.size()) + " bytes while standard input stayed open";
    tally[data.size() > before_exit ? "data after exit" : "all data before exit"]++;
    bridge.close_stdin();
    for (ParsedFrame& frame : bridge.read_all(deadline())) frames.push_back(frame);
    if (std::string fault = order_faults(frames); !fault.empty()) return fault;
    std::optional<Announcement> child = announcement(data);
    if (std::string fault = flood_after_announcement(joined_data(frames), child, bytes);
        !fault.empty()) {
      return fault;
    }
    return ending_faults(bridge, 0);
  });
}

TEST(RaceTest, KillFramesWhileTheChildIsExiting) {
  repeat_race([](long i, Tally& tally) -> std::string {
    // The child exits with 3 at a moment that moves across the runs; the
    // kill frames land around it. Either way: one exit frame, 3 or the
    // hang-up's 1, and an orderly end.
    const std::string delay_us = std::to_string((i * 37) % 300);
    BridgeProcess bridge;
    bridge.spawn(stress_child(), {"exit", "3", delay_us});
    std::vector<ParsedFrame> frames;
    std::string data;
    if (!read_until(bridge, frames, data,
                    [](const std::string& got) { return announcement(got).has_value(); })) {
      return "no announcement";
    }
    bridge.send("{\"type\":\"kill\"}\n{\"type\":\"kill\"}");
    for (ParsedFrame& frame : bridge.read_all(deadline())) frames.push_back(frame);
    if (std::string fault = order_faults(frames); !fault.empty()) return fault;
    std::uint32_t code = *exit_code(frames);
    if (code != 1 && code != 3) return "exit code " + std::to_string(code);
    tally[code == 3 ? "child exited first" : "hang-up first"]++;
    return ending_faults(bridge, 0);
  });
}

TEST(RaceTest, EndOfInputWhileOutputFloods) {
  repeat_race([](long i, Tally& tally) -> std::string {
    const std::size_t wait_bytes = 1 + (i * 4099) % (256 * 1024);
    BridgeProcess bridge;
    bridge.spawn(stress_child(), {"flood", "-1"});
    std::vector<ParsedFrame> frames;
    std::string data;
    if (!read_until(bridge, frames, data,
                    [&](const std::string& got) { return got.size() >= wait_bytes; })) {
      return "the flood stopped at " + std::to_string(data.size()) + " bytes";
    }
    bridge.close_stdin();
    for (ParsedFrame& frame : bridge.read_all(deadline())) frames.push_back(frame);
    if (std::string fault = order_faults(frames); !fault.empty()) return fault;
    if (exit_code(frames) != 1u) return "exit code " + std::to_string(*exit_code(frames));
    data = joined_data(frames);
    std::optional<Announcement> child = announcement(data);
    if (std::string fault = flood_after_announcement(data, child); !fault.empty()) return fault;
    tally[data.size() - wait_bytes > 64 * 1024 ? "over 64 KiB after end of input"
                                               : "less after end of input"]++;
    return ending_faults(bridge, 0);
  });
}

TEST(RaceTest, DrainAtShutdownDeliversEveryByteTheChildWrote) {
  repeat_race([](long i, Tally& tally) -> std::string {
    // The child ignores the hang-up, so it always writes all its bytes; end
    // of input comes at its announcement, halfway, or after its exit frame.
    const std::uint64_t bytes = 64 * 1024 + (i * 4099) % (192 * 1024);
    const char* moments[] = {"at announcement", "halfway", "after exit frame"};
    const char* moment = moments[i % 3];
    BridgeProcess bridge;
    bridge.spawn(stress_child(), {"flood-ignore-hup", std::to_string(bytes)});
    std::vector<ParsedFrame> frames;
    std::string data;
    bool reached = read_until(bridge, frames, data, [&](const std::string& got) {
      if (i % 3 == 0) return announcement(got).has_value();
      if (i % 3 == 1) return got.size() >= bytes / 2;
      return true;
    });
    if (reached && i % 3 == 2) {
      std::optional<ParsedFrame> exit = bridge.wait_for("exit", deadline(), &frames);
      if (exit) frames.push_back(*exit);
      reached = exit.has_value();
    }
    if (!reached) return std::string("never reached the moment ") + moment;
    bridge.close_stdin();
    for (ParsedFrame& frame : bridge.read_all(deadline())) frames.push_back(frame);
    if (std::string fault = order_faults(frames); !fault.empty()) return fault;
    if (exit_code(frames) != 0u) return "exit code " + std::to_string(*exit_code(frames));
    data = joined_data(frames);
    std::optional<Announcement> child = announcement(data);
    if (std::string fault = flood_after_announcement(data, child, bytes); !fault.empty()) {
      return fault + " (end of input " + moment + ")";
    }
    tally[moment]++;
    return ending_faults(bridge, 0);
  });
}

TEST(RaceTest, DrainAtShutdownWaitsForASlowParent) {
#ifndef F_SETPIPE_SZ
  GTEST_SKIP() << "the pipe's capacity cannot be set here";
#endif
  // The parent reads the exit frame, ends input, then is busy elsewhere for
  // 150 ms. Behind a one-page pipe the pump is then stuck in a write with the
  // child's last output still in the terminal; that is no quiet terminal, and
  // every byte must still arrive. Slower than the other races, so run a
  // quarter as often.
  BridgeOptions options;
  options.stdout_pipe_size = 4096;
  Tally tally;
  int failures = 0;
  const long runs = std::max(1L, repeat() / 4);
  for (long i = 0; i < runs && failures < 3; ++i) {
    const std::uint64_t bytes = 128 * 1024 + (i * 4099) % (64 * 1024);
    BridgeProcess bridge(options);
    bridge.spawn(stress_child(), {"flood", std::to_string(bytes)});
    std::vector<ParsedFrame> frames;
    std::optional<ParsedFrame> exit = bridge.wait_for("exit", deadline(), &frames);
    std::string fault = exit ? "" : "no exit frame";
    if (exit) {
      const std::size_t before_exit = joined_data(frames).size();
      frames.push_back(*exit);
      bridge.close_stdin();
      std::this_thread::sleep_for(150ms);  // the pause is the input, not a wait
      for (ParsedFrame& frame : bridge.read_all(deadline())) frames.push_back(frame);
      std::string data = joined_data(frames);
      std::optional<Announcement> child = announcement(data);
      fault = order_faults(frames);
      if (fault.empty()) fault = flood_after_announcement(data, child, bytes);
      if (fault.empty()) fault = ending_faults(bridge, 0);
      tally[data.size() - before_exit > 8192 ? "over 8 KiB after the exit frame"
                                             : "less after the exit frame"]++;
    }
    if (!fault.empty()) {
      ADD_FAILURE() << "run " << i << " of " << runs << ": " << fault;
      ++failures;
    }
  }
  report(tally);
}

TEST(RaceTest, FatalErrorWhileThePumpWrites) {
  struct BadLine {
    const char* line;
    const char* message;
  };
  static const BadLine kBadLines[] = {
      {"{\"type\":\"input\",\"data\":\"QQ\"}", "Invalid padding"},
      {"{\"type\":\"spawn\",\"shellPath\":\"/bin/sh\"}", "unexpected duplicate spawn frame"},
      {"{\"type\":\"resize\",\"rows\":1}", "missing field `cols`"},
  };
  repeat_race([](long i, Tally& tally) -> std::string {
    const BadLine& bad = kBadLines[i % 3];
    const std::size_t wait_bytes = 1 + (i * 4099) % (128 * 1024);
    BridgeProcess bridge;
    bridge.spawn(stress_child(), {"flood", "-1"});
    std::vector<ParsedFrame> frames;
    std::string data;
    if (!read_until(bridge, frames, data, [&](const std::string& got) {
          return got.size() >= wait_bytes && announcement(got);
        })) {
      return "the flood stopped at " + std::to_string(data.size()) + " bytes";
    }
    // Looked up while it floods: the bridge will not reap it.
    std::optional<ProcessId> flooder = look_up_process(announcement(data)->pid);
    bridge.send(bad.line);
    for (ParsedFrame& frame : bridge.read_all(deadline())) frames.push_back(frame);
    if (std::string fault = order_faults(frames, true); !fault.empty()) return fault;
    std::size_t after_error = 0;
    for (const ParsedFrame& frame : frames) {
      if (frame.type == "error" && frame.message != bad.message)
        return "error message " + frame.message;
      // The child floods on until the bridge has gone, so it cannot have exited.
      if (frame.type == "exit") return "exit frame from a child that was still writing";
      if (frame.type == "error" || after_error > 0) ++after_error;
    }
    tally[after_error > 1 ? "data after the error frame" : "error frame last"]++;
    data = joined_data(frames);
    std::optional<Announcement> child = announcement(data);
    if (std::string fault = flood_after_announcement(data, child); !fault.empty()) return fault;
    return ending_faults(bridge, 1, flooder);
  });
}

// The parent floods input while the program exits at a moment that moves across the runs: the
// end meets the bridge before a write (a hung-up terminal) or inside one (EIO from the terminal),
// and either way the input is dropped, the exit frame arrives and the session ends well.
TEST(RaceTest, InputFloodIntoAProgramThatExitsAtARandomMoment) {
  repeat_race([](long i, Tally& tally) -> std::string {
    const std::string delay_us = std::to_string((i * 7919) % 30000);
    BridgeProcess bridge;
    std::atomic<bool> exited{false};
    FrameCollector collector(bridge, deadline(), [&exited](const ParsedFrame& frame) {
      if (frame.type == "exit") exited = true;
    });
    bridge.spawn(stress_child(), {"read-exit", "0", delay_us});
    if (!collector.wait_until(
            [](const std::vector<ParsedFrame>&, const std::string& data) {
              return announcement(data).has_value();
            },
            deadline())) {
      return "no announcement";
    }
    const std::string chunk(12 * 1024, static_cast<char>('a' + i % 26));
    int frames_sent = 0;
    int after_exit = 0;
    // Until the exit frame, then a few more into the ended terminal.
    while (after_exit < 4 && frames_sent < 20000) {
      if (!bridge.input(chunk)) return "the bridge stopped reading input";
      ++frames_sent;
      if (exited) ++after_exit;
    }
    if (after_exit == 0) return "no exit frame after " + std::to_string(frames_sent) + " frames";
    bridge.close_stdin();
    if (!collector.finish()) return "standard output did not end";
    const std::vector<ParsedFrame>& frames = collector.frames();
    if (std::string fault = order_faults(frames); !fault.empty()) return fault;
    if (exit_code(frames) != 0u) return "exit code " + std::to_string(*exit_code(frames));
    tally[frames_sent > 8 ? "many frames before the end" : "few frames before the end"]++;
    return ending_faults(bridge, 0);
  });
}

}  // namespace
}  // namespace qlp::test
