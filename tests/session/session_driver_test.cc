// The bridge end to end, driven through its standard streams as a parent would.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/bridge_process.h"
#include "support/test_support.h"

namespace qlp::test {
namespace {

using std::chrono::milliseconds;
using namespace std::chrono_literals;

milliseconds deadline(milliseconds base = 10000ms) { return scaled(base); }

std::string joined_data(const std::vector<ParsedFrame>& frames) {
  std::string out;
  for (const ParsedFrame& frame : frames) {
    if (frame.type == "data") out += frame.data;
  }
  return out;
}

/// Runs a bridge on `input` (written whole, then standard input closed) and
/// returns every frame and the exit status.
struct Outcome {
  std::vector<ParsedFrame> frames;
  int status = -1;
};

Outcome run_with_input(const std::string& input, BridgeOptions options = {}) {
  BridgeProcess bridge(options);
  bridge.send_raw(input);
  bridge.close_stdin();
  Outcome outcome;
  outcome.frames = bridge.read_all(deadline());
  outcome.status = bridge.wait_exit(deadline());
  return outcome;
}

void expect_single_error(const Outcome& outcome, const std::string& message) {
  ASSERT_EQ(outcome.frames.size(), 1u) << (outcome.frames.empty() ? "" : outcome.frames[0].line);
  EXPECT_EQ(outcome.frames[0].type, "error") << outcome.frames[0].line;
  EXPECT_EQ(outcome.frames[0].message, message);
  EXPECT_EQ(outcome.status, 1);
}

TEST(SessionFatalTest, EveryStartFailureIsOneErrorFrameAndStatusOne) {
  struct Row {
    const char* name;
    std::string input;
    std::string message;
  };
  const Row rows[] = {
      {"empty input", "", "missing spawn frame"},
      {"only blank lines", "\n  \t\n\r\n\xC2\xA0\n", "missing spawn frame"},
      {"resize first", "{\"type\":\"resize\",\"rows\":1,\"cols\":2}\n", "first frame must be spawn"},
      {"kill first", "{\"type\":\"kill\"}\n", "first frame must be spawn"},
      {"decoder message", "{}\n", "missing field `type` at line 1 column 2"},
      {"frame over two lines", "{\"type\":\n\"kill\"}\n", "EOF while parsing a value at line 1 column 8"},
      {"not UTF-8", "{\"type\":\"kill\xff\"}\n", "stream did not contain valid UTF-8"},
      {"program missing", "{\"type\":\"spawn\",\"shellPath\":\"/nonexistent/prog\"}\n",
       "failed to spawn shell /nonexistent/prog"},
      {"bare name not on PATH",
       "{\"type\":\"spawn\",\"shellPath\":\"no-such-program-qlp\",\"env\":{\"PATH\":\"/nonexistent\"}}\n",
       "failed to spawn shell no-such-program-qlp"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    expect_single_error(run_with_input(row.input), row.message);
  }
}

// Under a sanitizer the bridge reserves far more address space than any
// limit that would still leave no room for a thread.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// A thread that cannot start (here: no address space left for its stack,
// whether the pump's or the watcher's) ends the bridge with status 101 and
// one line on standard error, never with a frame cut short or an error frame.
TEST(SessionFatalTest, AThreadThatCannotStartEndsTheBridgeWithStatus101) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer needs more address space than the limit leaves";
  int thread_failures = 0;
  bool ran_whole_session = false;
  // Upwards in steps far smaller than a thread's stack, to the first limit that leaves room for
  // a whole session: where that is depends on the build, so the bound is generous.
  for (std::uint64_t mib = 2; mib <= 1024 && !ran_whole_session; ++mib) {
    SCOPED_TRACE("address space " + std::to_string(mib) + " MiB");
    BridgeOptions options;
    options.address_space_limit = mib << 20;
    BridgeProcess bridge(options);
    bridge.spawn("/bin/true");
    bridge.close_stdin();
    std::vector<ParsedFrame> frames = bridge.read_all(deadline());
    const int status = bridge.wait_exit(deadline());
    const std::string diagnostic = bridge.stderr_text();
    EXPECT_EQ(bridge.unterminated_output(), "");
    if (status == 101) {
      ++thread_failures;
      EXPECT_EQ(diagnostic.rfind("failed to spawn thread: ", 0), 0u) << diagnostic;
      EXPECT_EQ(diagnostic.find('\n'), diagnostic.size() - 1) << diagnostic;
      // The pump, started first, may already have passed on what the child wrote (under the
      // same limit its loader can fail and say so); the exit watcher never ran.
      for (const ParsedFrame& frame : frames) {
        EXPECT_TRUE(frame.type == "ready" || frame.type == "data") << frame.line;
      }
    } else if (status == 0) {
      ran_whole_session = true;
      ASSERT_FALSE(frames.empty());
      EXPECT_EQ(frames.back().type, "exit");
    }
    // Anything else: too little room for the bridge even to load.
  }
  EXPECT_GT(thread_failures, 0);
  EXPECT_TRUE(ran_whole_session);
}

TEST(SessionFatalTest, ClosedStandardInputReadsAsEndOfInput) {
  BridgeOptions options;
  options.close_stdin = true;
  expect_single_error(run_with_input("", options), "missing spawn frame");
}

TEST(SessionFatalTest, FailuresWhileServingEndTheSessionWithTheirMessage) {
  struct Row {
    const char* name;
    std::string line;
    std::string message;
  };
  const Row rows[] = {
      {"second spawn", "{\"type\":\"spawn\",\"shellPath\":\"/bin/sh\"}", "unexpected duplicate spawn frame"},
      {"bad Base64", "{\"type\":\"input\",\"data\":\"QQ\"}", "Invalid padding"},
      {"bad frame", "{\"type\":\"input\"}", "missing field `data`"},
      {"bad JSON", "{\"type\":\"kill\",}", "trailing comma at line 1 column 16"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    BridgeProcess bridge;
    bridge.spawn("/bin/sleep", {"30"});
    ASSERT_TRUE(bridge.wait_for("ready", deadline()));
    bridge.send(row.line);
    std::vector<ParsedFrame> before;
    std::optional<ParsedFrame> error = bridge.wait_for("error", deadline(), &before);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message, row.message);
    EXPECT_EQ(bridge.wait_exit(deadline()), 1);
    for (const ParsedFrame& frame : before) EXPECT_NE(frame.type, "exit") << frame.line;
  }
}

// Regression: the error frame was written and the emitter's lock released
// before the process ended, so a data frame of the still-running pump could
// follow it.
TEST(SessionFatalTest, ErrorFrameIsTheLastLineEvenWhileOutputFloods) {
  for (int round = 0; round < 5; ++round) {
    BridgeProcess bridge;
    bridge.spawn("/usr/bin/yes", {"flood"});
    ASSERT_TRUE(bridge.wait_for("ready", deadline()));
    ASSERT_TRUE(bridge.wait_for("data", deadline()));
    bridge.send("{\"type\":\"bogus\"}");
    std::vector<ParsedFrame> frames = bridge.read_all(deadline());
    EXPECT_EQ(bridge.wait_exit(deadline()), 1);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().type, "error") << frames.back().line;
    int errors = 0;
    for (const ParsedFrame& frame : frames) {
      EXPECT_NE(frame.type, "") << "torn line: " << frame.line;
      errors += frame.type == "error";
    }
    EXPECT_EQ(errors, 1);
  }
}

TEST(SessionTest, ShellOutputThenExitFrameAfterReady) {
  BridgeProcess bridge;
  bridge.spawn("/bin/sh", {"-c", "printf 'hello from the terminal'; exit 3"});
  std::vector<ParsedFrame> before_ready;
  ASSERT_TRUE(bridge.wait_for("ready", deadline(), &before_ready));
  std::vector<ParsedFrame> before_exit;
  std::optional<ParsedFrame> exit = bridge.wait_for("exit", deadline(), &before_exit);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->code, 3u);
  bridge.close_stdin();
  std::vector<ParsedFrame> after = bridge.read_all(deadline());
  EXPECT_EQ(bridge.wait_exit(deadline()), 0);
  std::vector<ParsedFrame> all = before_ready;
  all.insert(all.end(), before_exit.begin(), before_exit.end());
  all.insert(all.end(), after.begin(), after.end());
  EXPECT_EQ(joined_data(all), "hello from the terminal");
  for (const ParsedFrame& frame : all) EXPECT_EQ(frame.type, "data") << frame.line;
}

TEST(SessionTest, RawCatEchoesEveryByteValueBothWays) {
  BridgeProcess bridge;
  bridge.spawn("/bin/sh", {"-c", "stty raw -echo; echo go; exec cat"});
  // The child's first output may come before the ready frame.
  std::vector<ParsedFrame> before_ready;
  ASSERT_TRUE(bridge.wait_for("ready", deadline(), &before_ready));
  std::string seen = joined_data(before_ready);
  while (seen.find("go") == std::string::npos) {
    std::optional<ParsedFrame> frame = bridge.next_frame(deadline());
    ASSERT_TRUE(frame);
    seen += frame->data;
  }
  std::string all_bytes;
  for (int i = 0; i < 256; ++i) all_bytes.push_back(static_cast<char>(i));
  // Twice, in frames of varied sizes, so that every value crosses in both directions.
  std::string sent = all_bytes + all_bytes;
  bridge.input(sent.substr(0, 1));
  bridge.input(sent.substr(1, 300));
  bridge.input(sent.substr(301));
  std::string echoed;
  while (echoed.size() < sent.size()) {
    std::optional<ParsedFrame> frame = bridge.next_frame(deadline());
    ASSERT_TRUE(frame) << "got " << echoed.size() << " of " << sent.size();
    ASSERT_EQ(frame->type, "data") << frame->line;
    echoed += frame->data;
  }
  EXPECT_EQ(echoed, sent);
  bridge.send("{\"type\":\"kill\"}");
  ASSERT_TRUE(bridge.wait_for("exit", deadline()));
  EXPECT_EQ(bridge.wait_exit(deadline()), 0);
}

TEST(SessionTest, MegabytesOfOutputArriveExactlyInChunksOfAtMost8192Bytes) {
  const std::string path = ::testing::TempDir() + "/qlp_flood.bin";
  std::string content;
  std::srand(7);
  for (int i = 0; i < 3 * 1024 * 1024; ++i) content.push_back(static_cast<char>(std::rand()));
  std::ofstream(path, std::ios::binary) << content;
  BridgeProcess bridge;
  bridge.spawn("/bin/sh", {"-c", "stty raw -echo; exec cat " + path});
  std::vector<ParsedFrame> frames;
  std::optional<ParsedFrame> exit = bridge.wait_for("exit", deadline(30000ms), &frames);
  ASSERT_TRUE(exit);
  bridge.close_stdin();
  std::vector<ParsedFrame> rest = bridge.read_all(deadline());
  frames.insert(frames.end(), rest.begin(), rest.end());
  EXPECT_EQ(bridge.wait_exit(deadline()), 0);
  std::string received;
  for (const ParsedFrame& frame : frames) {
    if (frame.type != "data") continue;
    EXPECT_GE(frame.data.size(), 1u);
    EXPECT_LE(frame.data.size(), 8192u);
    received += frame.data;
  }
  EXPECT_EQ(received.size(), content.size());
  EXPECT_TRUE(received == content);
  std::remove(path.c_str());
}

TEST(SessionTest, TerminalSizeDefaultsAndResizesAsTheChildSeesThem) {
  struct Row {
    std::string members;
    std::string size;
  };
  const Row rows[] = {{"", "24 80"}, {",\"rows\":50,\"cols\":132", "50 132"},
                      {",\"rows\":null,\"cols\":null", "24 80"}, {",\"rows\":0,\"cols\":10", "0 10"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.members);
    BridgeProcess bridge;
    bridge.spawn("/bin/sh", {"-c", "stty size"}, row.members);
    std::vector<ParsedFrame> frames;
    ASSERT_TRUE(bridge.wait_for("exit", deadline(), &frames));
    bridge.close_stdin();
    std::vector<ParsedFrame> rest = bridge.read_all(deadline());
    frames.insert(frames.end(), rest.begin(), rest.end());
    EXPECT_EQ(joined_data(frames), row.size + "\r\n");
  }
  BridgeProcess bridge;
  bridge.spawn("/bin/sh", {"-c", "stty raw -echo; read line; stty size; read line"});
  ASSERT_TRUE(bridge.wait_for("ready", deadline()));
  bridge.send("{\"type\":\"resize\",\"rows\":33,\"cols\":77}");
  // A line feed ends the read whichever mode the terminal is in when the byte arrives: a carriage
  // return is turned into one only before "stty raw" has run, so with a slow bridge (a sanitizer
  // build) the shell waited for ever.
  bridge.input("x\n");
  std::string seen;
  while (seen.find("33 77") == std::string::npos) {
    std::optional<ParsedFrame> frame = bridge.next_frame(deadline());
    ASSERT_TRUE(frame) << seen;
    seen += frame->data;
  }
  bridge.close_stdin();
  EXPECT_EQ(bridge.wait_exit(deadline()), 0);
}

TEST(SessionTest, KillFrameHangsUpTheChildAndLaterLinesAreNotRead) {
  BridgeProcess bridge;
  bridge.spawn("/bin/sleep", {"30"});
  ASSERT_TRUE(bridge.wait_for("ready", deadline()));
  // The line after the kill frame would be fatal if it were read.
  bridge.send("{\"type\":\"kill\"}\nnot json at all");
  std::optional<ParsedFrame> exit = bridge.wait_for("exit", deadline());
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->code, 1u);
  for (const ParsedFrame& frame : bridge.read_all(deadline())) EXPECT_NE(frame.type, "error");
  EXPECT_EQ(bridge.wait_exit(deadline()), 0);
}

TEST(SessionTest, EndOfInputHangsUpTheChild) {
  BridgeProcess bridge;
  bridge.spawn("/bin/sleep", {"30"});
  ASSERT_TRUE(bridge.wait_for("ready", deadline()));
  bridge.close_stdin();
  std::optional<ParsedFrame> exit = bridge.wait_for("exit", deadline());
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->code, 1u);
  EXPECT_EQ(bridge.wait_exit(deadline()), 0);
}

TEST(SessionTest, ChildThatExitsFirstLeavesTheSessionServingFrames) {
  BridgeProcess bridge;
  bridge.spawn("/bin/sh", {"-c", "exit 5"});
  std::optional<ParsedFrame> exit = bridge.wait_for("exit", deadline());
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->code, 5u);
  // Frames are still served: a resize succeeds, input to the finished
  // terminal is dropped rather than blocking, and a bad frame is still fatal.
  bridge.send("{\"type\":\"resize\",\"rows\":10,\"cols\":10}");
  std::string paste(256 * 1024, 'p');
  for (int i = 0; i < 8; ++i) bridge.input(paste);
  bridge.send("{\"type\":\"bogus\"}");
  std::optional<ParsedFrame> error = bridge.wait_for("error", deadline());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message,
            "unknown variant `bogus`, expected one of `spawn`, `input`, `resize`, `kill` at line 1 "
            "column 15");
  EXPECT_EQ(bridge.wait_exit(deadline()), 1);
}

TEST(SessionTest, ChildThatIgnoresTheHangUpIsWaitedFor) {
  BridgeProcess bridge;
  bridge.spawn("/bin/sh", {"-c", "trap '' HUP; echo armed; sleep 1; exit 7"});
  // The child's first output may come before the ready frame.
  std::vector<ParsedFrame> before_ready;
  ASSERT_TRUE(bridge.wait_for("ready", deadline(), &before_ready));
  std::string seen = joined_data(before_ready);
  while (seen.find("armed") == std::string::npos) {
    std::optional<ParsedFrame> frame = bridge.next_frame(deadline());
    ASSERT_TRUE(frame);
    seen += frame->data;
  }
  bridge.close_stdin();
  std::optional<ParsedFrame> exit = bridge.wait_for("exit", deadline());
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->code, 7u);
  EXPECT_EQ(bridge.wait_exit(deadline()), 0);
}

TEST(SessionTest, StandardOutputClosedAfterReadyDoesNotEndTheSession) {
  BridgeProcess bridge;
  bridge.spawn("/bin/sh", {"-c", "stty raw -echo; exec cat"});
  ASSERT_TRUE(bridge.wait_for("ready", deadline()));
  bridge.close_stdout();
  for (int i = 0; i < 50; ++i) bridge.input("output nobody reads\n");
  bridge.close_stdin();
  EXPECT_EQ(bridge.wait_exit(deadline()), 0);
}

TEST(SessionTest, StandardOutputClosedBeforeReadyIsFatal) {
  BridgeProcess bridge;
  bridge.close_stdout();
  bridge.spawn("/bin/sleep", {"30"});
  EXPECT_EQ(bridge.wait_exit(deadline()), 1);
}

TEST(SessionTest, BlankAndCrlfLinesAreSkippedOrStripped) {
  BridgeProcess bridge;
  bridge.send_raw("\r\n   \n\t\n\xC2\xA0\n");
  bridge.send_raw("{\"type\":\"spawn\",\"shellPath\":\"/bin/sh\",\"shellArgs\":[\"-c\",\"stty raw -echo; printf R; exec cat\"]}\r\n");
  // "R" tells that the terminal is raw and silent: input that came sooner would be echoed, or
  // held back until a line feed.
  std::string seen;
  bool ready = false;
  while (!ready || seen.empty()) {
    std::optional<ParsedFrame> frame = bridge.next_frame(deadline());
    ASSERT_TRUE(frame);
    ready = ready || frame->type == "ready";
    seen += frame->data;
  }
  ASSERT_EQ(seen, "R");
  bridge.send_raw("\r\n{\"type\":\"input\",\"data\":\"" + to_base64("crlf") + "\"}\r\n\n");
  while (seen.size() < 5) {
    std::optional<ParsedFrame> frame = bridge.next_frame(deadline());
    ASSERT_TRUE(frame);
    seen += frame->data;
  }
  EXPECT_EQ(seen, "Rcrlf");
  bridge.close_stdin();
  EXPECT_EQ(bridge.wait_exit(deadline()), 0);
}

std::string session_output(const std::string& program, const std::vector<std::string>& args,
                           const std::string& members, BridgeOptions options = {}) {
  BridgeProcess bridge(options);
  bridge.spawn(program, args, members);
  std::vector<ParsedFrame> frames;
  std::optional<ParsedFrame> exit = bridge.wait_for("exit", deadline(), &frames);
  bridge.close_stdin();
  std::vector<ParsedFrame> rest = bridge.read_all(deadline());
  frames.insert(frames.end(), rest.begin(), rest.end());
  bridge.wait_exit(deadline());
  if (!exit) return "<no exit frame>";
  return joined_data(frames);
}

TEST(SessionTest, ChildGetsTheInheritedEnvironmentWithTheFrameChanges) {
  BridgeOptions options;
  options.env = {"QLP_INHERITED=yes", "QLP_REMOVED=present"};
  std::string out = session_output(
      "/bin/sh", {"-c", "printf '%s|%s|%s|%s' \"$QLP_INHERITED\" \"${QLP_REMOVED-unset}\" \"$QLP_SET\" \"$SHELL\""},
      ",\"env\":{\"QLP_SET\":\"given\",\"QLP_REMOVED\":null,\"SHELL\":\"/bin/qlp-shell\"}", options);
  EXPECT_EQ(out, "yes|unset|given|/bin/qlp-shell");
}

TEST(SessionTest, WorkingDirectoryIsUsedWhenItExistsElseHome) {
  std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "qlp cwd test";
  std::filesystem::create_directories(dir);
  std::string home = ::testing::TempDir();
  EXPECT_EQ(session_output("/bin/pwd", {}, ",\"cwd\":" + json_string(dir.string())),
            dir.string() + "\r\n");
  const std::string home_env = ",\"env\":{\"HOME\":" + json_string(std::filesystem::canonical(home).string()) + "}";
  EXPECT_EQ(session_output("/bin/sh", {"-c", "pwd -P"}, ",\"cwd\":\"   \"" + home_env),
            std::filesystem::canonical(home).string() + "\r\n");
  EXPECT_EQ(session_output("/bin/sh", {"-c", "pwd -P"}, ",\"cwd\":\"/nonexistent/dir\"" + home_env),
            std::filesystem::canonical(home).string() + "\r\n");
}

// The bridge's threads ask for the shortest time slice, so that each wakes
// promptly on a busy machine; the program must keep the defaults, or a busy
// program would be cut into tenth-of-a-millisecond pieces. Linux only (the
// slice is shown in /proc since 6.6).
TEST(SessionTest, OnlyTheBridgesOwnThreadsAskForShortTimeSlices) {
  std::ifstream own("/proc/self/sched");
  const std::string text((std::istreambuf_iterator<char>(own)), std::istreambuf_iterator<char>());
  if (text.find("se.slice") == std::string::npos) GTEST_SKIP() << "no time slices in /proc";
  BridgeProcess bridge;
  // The child waits for a line, so that the bridge has made its request and
  // started the pump when the slices are read: the child's own, then the
  // bridge's threads'.
  bridge.spawn("/bin/sh", {"-c", "read x; grep -h se.slice /proc/self/sched /proc/$PPID/task/*/sched"});
  std::vector<ParsedFrame> frames;
  ASSERT_TRUE(bridge.wait_for("ready", deadline(), &frames));
  ASSERT_TRUE(bridge.input("\n"));
  // The exit frame need not come last: the exit watcher may write it before the pump has
  // forwarded the child's final output, which a busy machine makes likely. Only the end of the
  // bridge's output, after the shutdown drain, holds everything the child wrote.
  ASSERT_TRUE(bridge.wait_for("exit", deadline(), &frames));
  bridge.close_stdin();
  std::vector<ParsedFrame> rest = bridge.read_all(deadline());
  frames.insert(frames.end(), rest.begin(), rest.end());
  EXPECT_EQ(bridge.wait_exit(deadline()), 0);
  std::vector<long> slices;
  std::istringstream lines(joined_data(frames));
  for (std::string line; std::getline(lines, line);) {
    const std::size_t colon = line.find(':');
    if (line.rfind("se.slice", 0) == 0 && colon != std::string::npos) {
      slices.push_back(std::stol(line.substr(colon + 1)));
    }
  }
  ASSERT_FALSE(slices.empty()) << joined_data(frames);
  EXPECT_GT(slices[0], 100000) << "the program inherited the bridge's request";
  // The main thread and the pump at least (a sanitizer's own threads start earlier).
  EXPECT_GE(std::count(slices.begin() + 1, slices.end(), 100000), 2) << joined_data(frames);
}

// Regression: output written just before the child ended was lost when the
// bridge exited right after the exit frame, before the pump had read it.
TEST(SessionMendTest, OutputWrittenBeforeTheChildEndsIsDrainedAtShutdown) {
  const std::string path = ::testing::TempDir() + "/qlp_drain.bin";
  std::string content;
  for (int i = 0; i < 400 * 1024; ++i) content.push_back(static_cast<char>('a' + i % 26));
  std::ofstream(path, std::ios::binary) << content;
  for (int round = 0; round < 3; ++round) {
    BridgeProcess bridge;
    bridge.spawn("/bin/sh", {"-c", "stty raw -echo; cat " + path + "; exit 0"});
    std::vector<ParsedFrame> frames;
    ASSERT_TRUE(bridge.wait_for("exit", deadline(), &frames));
    bridge.close_stdin();
    std::vector<ParsedFrame> rest = bridge.read_all(deadline());
    frames.insert(frames.end(), rest.begin(), rest.end());
    EXPECT_EQ(bridge.wait_exit(deadline()), 0);
    EXPECT_EQ(joined_data(frames).size(), content.size());
  }
  std::remove(path.c_str());
}

// A background process that keeps the terminal open after the child has ended
// is not output still to come: the drain gives up on it, and the bridge ends
// long before that process does.
TEST(SessionMendTest, ABackgroundHolderOfTheTerminalDoesNotKeepTheBridgeAlive) {
  BridgeProcess bridge;
  // The hang-up is ignored before the holder is forked: the terminal's end
  // signals it as soon as the shell has exited.
  bridge.spawn("/bin/sh", {"-c", "stty raw -echo; trap '' HUP; sleep 60 & echo \"holder $!\"; exit 0"});
  std::vector<ParsedFrame> frames;
  ASSERT_TRUE(bridge.wait_for("exit", deadline(), &frames));
  bridge.close_stdin();
  std::vector<ParsedFrame> rest = bridge.read_all(deadline());
  frames.insert(frames.end(), rest.begin(), rest.end());
  EXPECT_EQ(bridge.wait_exit(deadline()), 0);
  const std::string data = joined_data(frames);
  const std::size_t at = data.find("holder ");
  ASSERT_NE(at, std::string::npos) << data;
  const pid_t holder = static_cast<pid_t>(std::atol(data.c_str() + at + 7));
  ASSERT_GT(holder, 0);
  EXPECT_TRUE(process_alive(holder));
  ::kill(holder, SIGKILL);
}

// The shutdown drain waits at most 2 s for a terminal that stays open; it gives up after 100 ms
// in which the pump has read nothing and is not busy writing. A session whose program has ended
// must therefore end long before the limit, or every shutdown with a background holder (or a
// pump that wrongly says it is still writing) would cost the whole limit. What the holder adds
// is measured against the same shutdown without one, so that a slow build (the sanitizers' exit
// checks take most of a second) or a loaded machine does not decide; best of three runs.
TEST(SessionMendTest, ASessionWhoseProgramHasEndedEndsWellWithinTheDrainLimit) {
  // Under ThreadSanitizer the drain's 100 ms of quiet, counted in 10 ms timed waits, take about a
  // second (measured: 1.1 s every time), which says nothing about the pump.
  if (kSanitized) GTEST_SKIP() << "a sanitizer's timed waits stretch the drain's quiet period";
  constexpr milliseconds kDrainLimit = 2000ms;
  // How long from the end of input to the bridge's exit, for `script` whose exit frame has come.
  auto shutdown = [](const std::string& script) {
    BridgeProcess bridge;
    bridge.spawn("/bin/sh", {"-c", script});
    std::vector<ParsedFrame> frames;
    EXPECT_TRUE(bridge.wait_for("exit", deadline(), &frames));
    const auto start = std::chrono::steady_clock::now();
    bridge.close_stdin();
    std::vector<ParsedFrame> rest = bridge.read_all(deadline());
    EXPECT_EQ(bridge.wait_exit(deadline()), 0);
    const auto took =
        std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
    frames.insert(frames.end(), rest.begin(), rest.end());
    const std::string data = joined_data(frames);
    const std::size_t at = data.find("holder ");
    if (at != std::string::npos) ::kill(static_cast<pid_t>(std::atol(data.c_str() + at + 7)), SIGKILL);
    return took;
  };
  milliseconds best = milliseconds::max();
  for (int run = 0; run < 3 && best >= kDrainLimit / 2; ++run) {
    const milliseconds alone = shutdown("exit 0");
    const milliseconds held = shutdown("trap '' HUP; sleep 30 & echo \"holder $!\"; exit 0");
    best = std::min(best, held - alone);
  }
  EXPECT_LT(best, kDrainLimit / 2) << "a background holder added " << best.count()
                                   << " ms to the shutdown, at best of three";
}

// Regression: a bridge started with SIGCHLD ignored had its child reaped by
// the kernel, and every exit was reported as code 1.
// An interactive bash passes the hang-up on to its jobs, but when a second SIGHUP comes a
// fraction of a millisecond after the first it ends without doing so (measured on bash 5.2: 57
// of 60 jobs left running); and a SIGHUP that comes just as it goes back to reading a line is
// missed now and then (3 in 100), leaving it waiting for input that never comes. Both depend on
// timing and load, so eight sessions run at once, and end together once all are idle, or each as
// soon as its prompt is read; half by a kill frame, half by the end of input. A hang-up that
// meets the prompt can also make bash end without hanging up its job (2 in 100 under three CPU
// hogs, with a single SIGHUP and no bridge), as in any terminal: there only the bridges' end is
// required.
TEST(SessionMendTest, TheHangUpEndsAShellAndItsBackgroundJob) {
  constexpr int kSessions = 8;
  for (bool each_at_its_prompt : {false, true}) {
    SCOPED_TRACE(each_at_its_prompt ? "each ended at its prompt" : "all ended together");
    std::vector<std::unique_ptr<BridgeProcess>> bridges;
    std::vector<std::string> seen(kSessions);
    for (int i = 0; i < kSessions; ++i) {
      auto& bridge = *bridges.emplace_back(std::make_unique<BridgeProcess>());
      bridge.spawn("/bin/bash", {"--norc", "--noprofile"}, R"(,"env":{"PS1":"qw$ "})");
      std::vector<ParsedFrame> frames;
      ASSERT_TRUE(bridge.wait_for("ready", deadline(), &frames));
      seen[i] = joined_data(frames);
    }
    for (auto& bridge : bridges) bridge->input("sleep 300 & echo job $!\n");
    const auto end = [&bridges](int i) {
      if (i % 2 == 0) {
        bridges[i]->send("{\"type\":\"kill\"}");
      } else {
        bridges[i]->close_stdin();
      }
    };
    std::vector<pid_t> jobs;
    for (int i = 0; i < kSessions; ++i) {
      // The job's pid as printed (not the echoed command), once the next prompt follows it.
      const std::regex printed(R"(job ([0-9]+)\r\n[^]*qw\$ $)");
      std::smatch match;
      while (!std::regex_search(seen[i], match, printed)) {
        std::optional<ParsedFrame> frame = bridges[i]->next_frame(deadline());
        ASSERT_TRUE(frame) << seen[i];
        seen[i] += frame->data;
      }
      jobs.push_back(static_cast<pid_t>(std::stol(match[1])));
      if (each_at_its_prompt) end(i);
    }
    if (!each_at_its_prompt) {
      std::this_thread::sleep_for(200ms);
      for (int i = 0; i < kSessions; ++i) end(i);
    }
    for (auto& bridge : bridges) {
      bridge->read_all(deadline());
      EXPECT_EQ(bridge->wait_exit(deadline()), 0);
    }
    const auto until = std::chrono::steady_clock::now() + 5s;
    for (pid_t job : jobs) {
      if (!each_at_its_prompt) {
        while (process_alive(job) && std::chrono::steady_clock::now() < until) {
          std::this_thread::sleep_for(10ms);
        }
        EXPECT_FALSE(process_alive(job)) << "job " << job << " outlived its shell";
      }
      ::kill(job, SIGKILL);
    }
  }
}

TEST(SessionMendTest, ExitCodeSurvivesAnInheritedIgnoredSigchld) {
  BridgeOptions options;
  options.ignore_sigchld = true;
  BridgeProcess bridge(options);
  bridge.spawn("/bin/sh", {"-c", "exit 42"});
  std::optional<ParsedFrame> exit = bridge.wait_for("exit", deadline());
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->code, 42u);
  bridge.close_stdin();
  EXPECT_EQ(bridge.wait_exit(deadline()), 0);
}

// Regression: a script whose interpreter does not exist was reported as a
// successful start, with a ready frame for a program that never ran.
TEST(SessionMendTest, ExecFailureIsAStartError) {
  const std::string script = ::testing::TempDir() + "/qlp_bad_interpreter.sh";
  std::ofstream(script) << "#!/nonexistent/interpreter\necho never\n";
  ::chmod(script.c_str(), 0755);
  Outcome outcome = run_with_input("{\"type\":\"spawn\",\"shellPath\":" + json_string(script) + "}\n");
  expect_single_error(outcome, "failed to spawn shell " + script);
  std::remove(script.c_str());
}

// Regression: a static build on musl said "No file descriptors available"
// where Linux parents know glibc's "Too many open files".
TEST(SessionMendTest, OsErrorsCarryGlibcTextsWhateverTheBridgeIsLinkedWith) {
  // UBSan's type checks open files of their own, which a limit this tight refuses, and then
  // report the bridge's first virtual call as a fault.
  if (kSanitized) GTEST_SKIP() << "a sanitizer's runtime needs descriptors the limit leaves none of";
  BridgeOptions options;
  // The standard streams and one more (a dynamic loader needs it to open libraries): the
  // terminal's master fits, its slave does not.
  options.descriptor_limit = 4;
  expect_single_error(
      run_with_input("{\"type\":\"spawn\",\"shellPath\":\"/bin/sh\"}\n", options),
      "failed to openpty: Os { code: 24, kind: TooManyOpenFiles, message: \"Too many open "
      "files\" }");
}

// Regression: the C library refuses to change the signals it keeps for itself
// (32 and 33 for glibc, 32 to 34 for musl), so a bridge started with them
// ignored handed them on ignored to the program.
TEST(SessionMendTest, SignalsTheCLibraryKeepsReachTheProgramAtTheirDefault) {
  BridgeOptions options;
  options.ignored_signals = {SIGTSTP, 32, 33, 34, 35};
  BridgeProcess bridge(options);
  bridge.spawn(QLP_TEST_HELPER_DIR "/pty_probe");
  std::vector<ParsedFrame> frames;
  ASSERT_TRUE(bridge.wait_for("exit", deadline(), &frames));
  bridge.close_stdin();
  std::vector<ParsedFrame> rest = bridge.read_all(deadline());
  frames.insert(frames.end(), rest.begin(), rest.end());
  const std::string report = joined_data(frames);
  EXPECT_NE(report.find("\r\nignored: \r\n"), std::string::npos) << report;
  EXPECT_NE(report.find("\r\nblocked: \r\n"), std::string::npos) << report;
}

// Regression: musl's execvp does not hand an executable file without a "#!"
// line to the shell as glibc's and macOS's do, and the start failed with
// "Exec format error".
TEST(SessionMendTest, ExecutableWithoutAnInterpreterLineRunsInTheShell) {
  const std::string script = ::testing::TempDir() + "/qlp_no_interpreter_line";
  std::ofstream(script) << "echo \"script got $# arguments: $1,$2\"\nexit 7\n";
  ::chmod(script.c_str(), 0755);
  BridgeProcess bridge;
  bridge.spawn(script, {"one", "two words"});
  std::vector<ParsedFrame> frames;
  std::optional<ParsedFrame> exit = bridge.wait_for("exit", deadline(), &frames);
  ASSERT_TRUE(exit) << joined_data(frames);
  EXPECT_EQ(exit->code, 7u);
  bridge.close_stdin();
  std::vector<ParsedFrame> rest = bridge.read_all(deadline());
  frames.insert(frames.end(), rest.begin(), rest.end());
  EXPECT_EQ(joined_data(frames), "script got 2 arguments: one,two words\r\n");
  std::remove(script.c_str());
}

}  // namespace
}  // namespace qlp::test
