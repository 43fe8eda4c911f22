// The opt-in protocol extensions end to end: each feature asked for and not, through the real
// bridge and real programs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/bridge_process.h"
#include "support/test_support.h"

namespace qlp::test {
namespace {

using std::chrono::milliseconds;
using namespace std::chrono_literals;

milliseconds deadline(milliseconds base = 10000ms) { return scaled(base); }

const std::string kAll = R"(,"features":["errors","signal","process","pid"])";

std::string joined_data(const std::vector<ParsedFrame>& frames) {
  std::string out;
  for (const ParsedFrame& frame : frames) {
    if (frame.type == "data") out += frame.data;
  }
  return out;
}

/// Every line of a session that runs to its end on `spawn_line` then `later` (standard input
/// closed after them), data frames joined into one entry since the chunking is the terminal's.
std::vector<std::string> session_lines(const std::string& spawn_line,
                                       const std::vector<std::string>& later = {}) {
  BridgeProcess bridge;
  bridge.send(spawn_line);
  std::vector<ParsedFrame> frames;
  if (std::optional<ParsedFrame> exit = bridge.wait_for("exit", deadline(), &frames)) {
    frames.push_back(*exit);
  }
  for (const std::string& line : later) bridge.send(line);
  bridge.close_stdin();
  for (ParsedFrame& frame : bridge.read_all(deadline())) frames.push_back(std::move(frame));
  EXPECT_EQ(bridge.unterminated_output(), "");
  bridge.wait_exit(deadline());
  std::vector<std::string> lines;
  std::string data;
  for (const ParsedFrame& frame : frames) {
    if (frame.type == "data") {
      data += frame.data;
    } else {
      lines.push_back(frame.line);
    }
  }
  lines.push_back("data: " + data);
  return lines;
}

/// Reads frames until a process frame arrives; nothing at the deadline.
std::optional<ParsedFrame> query(BridgeProcess& bridge) {
  bridge.send(R"({"type":"query"})");
  return bridge.wait_for("process", deadline());
}

/// Queries until the foreground process is `name` in `cwd` (a shell takes a moment to start a
/// program or to move); the last answer.
std::optional<ParsedFrame> query_until(BridgeProcess& bridge, const std::string& name,
                                       const std::string& cwd) {
  const auto give_up = std::chrono::steady_clock::now() + deadline();
  std::optional<ParsedFrame> answer;
  while (std::chrono::steady_clock::now() < give_up) {
    answer = query(bridge);
    if (!answer) return answer;
    if (answer->name == name && answer->cwd == cwd) return answer;
    std::this_thread::sleep_for(20ms);
  }
  return answer;
}

TEST(SessionFeaturesTest, WithoutTheOptInASessionIsTheOriginalProtocolByteForByte) {
  // Every line but the ready frame and the extension members is the same with the features
  // asked for; with none asked, or features null, no byte differs at all.
  const std::string spawn =
      R"({"type":"spawn","shellPath":"/bin/sh","shellArgs":["-c","printf 'out\\n'; kill -9 $$"])";
  const std::vector<std::string> off = session_lines(spawn + "}");
  ASSERT_EQ(off.size(), 3u);
  EXPECT_EQ(off[0], R"({"type":"ready"})");
  EXPECT_EQ(off[1], R"({"type":"exit","code":1})");
  EXPECT_EQ(off[2], "data: out\r\n");
  EXPECT_EQ(session_lines(spawn + R"(,"features":null})"), off);

  const std::vector<std::string> on = session_lines(spawn + kAll + "}");
  ASSERT_EQ(on.size(), 3u);
  EXPECT_EQ(on[0].rfind(R"({"type":"ready","features":["pid","process","signal","errors"],"pid":)", 0), 0u)
      << on[0];
  EXPECT_EQ(on[1], R"({"type":"exit","code":1,"signal":"SIGKILL"})");
  EXPECT_EQ(on[2], off[2]);

  // The new frames are unknown variants to a parent that did not ask for them, with the
  // original message.
  struct Row {
    const char* spawn_tail;
    const char* frame;
    const char* message;
  };
  const Row rows[] = {
      {"}", R"({"type":"query"})",
       "unknown variant `query`, expected one of `spawn`, `input`, `resize`, `kill` at line 1 column 15"},
      {R"(,"features":["pid","errors"]})", R"({"type":"query"})",
       "unknown variant `query`, expected one of `spawn`, `input`, `resize`, `kill` at line 1 column 15"},
      {"}", R"({"type":"signal","signal":"SIGTERM"})",
       "unknown variant `signal`, expected one of `spawn`, `input`, `resize`, `kill` at line 1 column 16"},
      {R"(,"features":["pid","errors"]})", R"(["signal","SIGTERM"])",
       "unknown variant `signal`, expected one of `spawn`, `input`, `resize`, `kill` at line 1 column 9"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.spawn_tail) + " " + row.frame);
    const std::vector<std::string> refused = session_lines(
        std::string(R"({"type":"spawn","shellPath":"/bin/true")") + row.spawn_tail, {row.frame});
    ASSERT_EQ(refused.size(), 4u);
    EXPECT_EQ(refused[2], "{\"type\":\"error\",\"message\":" + json_string(row.message) + "}");
  }
}

TEST(SessionFeaturesTest, ReadyNamesTheAcceptedFeaturesInTheirOrderAndThePid) {
  struct Row {
    std::string features;
    std::string ready_prefix;
    bool has_pid;
  };
  const Row rows[] = {
      {R"(["pid"])", R"({"type":"ready","features":["pid"],"pid":)", true},
      {R"(["errors","bogus","errors","signal"])", R"({"type":"ready","features":["signal","errors"]})",
       false},
      {R"([])", R"({"type":"ready","features":[]})", false},
      {R"(["PID"])", R"({"type":"ready","features":[]})", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.features);
    BridgeProcess bridge;
    bridge.spawn("/bin/sh", {"-c", "echo $$; sleep 30"}, ",\"features\":" + row.features);
    std::vector<ParsedFrame> before;
    std::optional<ParsedFrame> ready = bridge.wait_for("ready", deadline(), &before);
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->line.rfind(row.ready_prefix, 0), 0u) << ready->line;
    EXPECT_EQ(ready->pid.has_value(), row.has_pid);
    if (row.has_pid) {
      // The shell's own $$ is the program's process id.
      std::string seen = joined_data(before);
      while (seen.find('\n') == std::string::npos) {
        std::optional<ParsedFrame> frame = bridge.next_frame(deadline());
        ASSERT_TRUE(frame);
        seen += frame->data;
      }
      EXPECT_EQ(std::stoul(seen), *ready->pid);
    }
    bridge.close_stdin();
    EXPECT_EQ(bridge.wait_exit(deadline()), 0);
  }
}

TEST(SessionFeaturesTest, ABadFeaturesMemberIsADecodingError) {
  struct Row {
    std::string members;
    std::string message;
  };
  const Row rows[] = {
      {R"("features":"pid")", R"(invalid type: string "pid", expected a sequence)"},
      {R"("features":[1])", "invalid type: integer `1`, expected a string"},
      {R"("features":[],"features":[])", "duplicate field `features`"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.members);
    const std::vector<std::string> lines =
        session_lines(R"({"type":"spawn","shellPath":"/bin/true",)" + row.members + "}");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "{\"type\":\"error\",\"message\":" + json_string(row.message) + "}");
  }
}

TEST(SessionFeaturesTest, StartFailuresCarryTheirCauseAndErrnoOnlyWhenAsked) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("qlp-features-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string plain = (dir / "plain").string();
  std::ofstream(plain) << "echo never\n";
  ::chmod(plain.c_str(), 0644);
  struct Row {
    std::string program;
    std::string cause;
    std::string code;
  };
  const Row rows[] = {
      {"/nope/qlp", "Unable to spawn /nope/qlp because it doesn't exist on the filesystem (ENOENT: No such file or directory)", "ENOENT"},
      {plain, "Unable to spawn " + plain + " because it is not executable (EACCES: Permission denied)", "EACCES"},
      {dir.string(), "Unable to spawn " + dir.string() + " because it is a directory", "EISDIR"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.program);
    const std::string spawn = R"({"type":"spawn","shellPath":)" + json_string(row.program);
    const std::string message = "failed to spawn shell " + row.program;
    EXPECT_EQ(session_lines(spawn + "}")[0],
              "{\"type\":\"error\",\"message\":" + json_string(message) + "}");
    EXPECT_EQ(session_lines(spawn + R"(,"features":["errors"]})")[0],
              "{\"type\":\"error\",\"message\":" + json_string(message) +
                  ",\"cause\":" + json_string(row.cause) + ",\"code\":\"" + row.code + "\"}");
  }
  // A decoding failure has no cause and no operating-system error: the original frame.
  EXPECT_EQ(session_lines(R"({"type":"spawn","shellPath":"/bin/true","features":["errors"]})",
                          {R"({"type":"resize"})"})[2],
            R"({"type":"error","message":"missing field `rows`"})");
  std::filesystem::remove_all(dir);
}

TEST(SessionFeaturesTest, SignalFrameReachesTheProgramWhichMayGoOnThenSigkillEndsIt) {
  BridgeProcess bridge;
  bridge.spawn("/bin/sh",
               {"-c", "trap 'echo caught TERM' TERM; echo armed; while :; do sleep 0.05; done"},
               R"(,"features":["signal"])");
  std::vector<ParsedFrame> seen;
  ASSERT_TRUE(bridge.wait_for("ready", deadline(), &seen));
  while (joined_data(seen).find("armed") == std::string::npos) {
    std::optional<ParsedFrame> frame = bridge.next_frame(deadline());
    ASSERT_TRUE(frame);
    seen.push_back(*frame);
  }
  bridge.send(R"({"type":"signal","signal":"SIGTERM"})");
  while (joined_data(seen).find("caught TERM") == std::string::npos) {
    std::optional<ParsedFrame> frame = bridge.next_frame(deadline());
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->type, "data") << frame->line;
    seen.push_back(*frame);
  }
  // Still running: nothing but output follows for a while.
  std::optional<ParsedFrame> early = bridge.wait_for("exit", scaled(300ms));
  EXPECT_FALSE(early) << early->line;
  bridge.send(R"(["signal","SIGKILL"])");
  std::optional<ParsedFrame> exit = bridge.wait_for("exit", deadline());
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->line, R"({"type":"exit","code":1,"signal":"SIGKILL"})");
  bridge.close_stdin();
  EXPECT_EQ(bridge.wait_exit(deadline()), 0);
}

TEST(SessionFeaturesTest, AnUnknownSignalNameIsFatalAndTheVariantListGrowsWithTheFeatures) {
  struct Row {
    std::string features;
    std::string line;
    std::string message;
  };
  const Row rows[] = {
      {R"(["signal"])", R"({"type":"signal","signal":"SIGNOPE"})",
       "unknown signal `SIGNOPE`, expected a signal name such as `SIGTERM`"},
      {R"(["signal"])", R"({"type":"signal","signal":"TERM"})",
       "unknown signal `TERM`, expected a signal name such as `SIGTERM`"},
      {R"(["signal"])", R"({"type":"signal"})", "missing field `signal`"},
      {R"(["signal"])", R"({"type":"query"})",
       "unknown variant `query`, expected one of `spawn`, `input`, `resize`, `kill`, `signal` at "
       "line 1 column 15"},
      {R"(["process"])", R"({"type":"signal","signal":"SIGTERM"})",
       "unknown variant `signal`, expected one of `spawn`, `input`, `resize`, `kill`, `query` at "
       "line 1 column 16"},
      {R"(["process","signal"])", R"({"type":"bogus"})",
       "unknown variant `bogus`, expected one of `spawn`, `input`, `resize`, `kill`, `signal`, "
       "`query` at line 1 column 15"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    BridgeProcess bridge;
    bridge.spawn("/bin/sleep", {"30"}, ",\"features\":" + row.features);
    ASSERT_TRUE(bridge.wait_for("ready", deadline()));
    bridge.send(row.line);
    std::optional<ParsedFrame> error = bridge.wait_for("error", deadline());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message, row.message);
    EXPECT_EQ(bridge.wait_exit(deadline()), 1);
  }
}

TEST(SessionFeaturesTest, TheForegroundProcessFollowsTheShellIntoVimAndBack) {
  if (::access("/usr/bin/vim", X_OK) != 0) GTEST_SKIP() << "no vim";
  const std::string home = std::filesystem::temp_directory_path().string();
  const std::string other = std::filesystem::canonical("/").string();
  BridgeProcess bridge;
  bridge.spawn("/bin/bash", {"--norc", "--noprofile", "-i"},
               ",\"cwd\":" + json_string(home) +
                   R"(,"env":{"TERM":"xterm","HOME":"/tmp"},"features":["process","pid"])");
  std::optional<ParsedFrame> ready = bridge.wait_for("ready", deadline());
  ASSERT_TRUE(ready);
  ASSERT_TRUE(ready->pid);

  std::optional<ParsedFrame> shell = query_until(bridge, "bash", home);
  ASSERT_TRUE(shell);
  EXPECT_EQ(shell->line, "{\"type\":\"process\",\"pid\":" + std::to_string(*ready->pid) +
                             ",\"name\":\"bash\",\"cwd\":" + json_string(home) + "}");

  bridge.input("cd " + other + " && vim -u NONE -N\r");
  std::optional<ParsedFrame> editor = query_until(bridge, "vim", other);
  ASSERT_TRUE(editor);
  EXPECT_EQ(editor->name, "vim");
  EXPECT_EQ(editor->cwd, other);
  ASSERT_TRUE(editor->pid);
  EXPECT_NE(*editor->pid, *ready->pid);

  bridge.input("\x1b:qa!\r");
  std::optional<ParsedFrame> back = query_until(bridge, "bash", other);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->pid, ready->pid);
  EXPECT_EQ(back->cwd, other);

  bridge.input("exit\r");
  ASSERT_TRUE(bridge.wait_for("exit", deadline()));
  // Once the program has ended there is no foreground process to describe.
  std::optional<ParsedFrame> after = query(bridge);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->line, R"({"type":"process","pid":null,"name":null,"cwd":null})");
  bridge.close_stdin();
  EXPECT_EQ(bridge.wait_exit(deadline()), 0);
}

TEST(SessionFeaturesTest, QueriesRacingAFloodOfOutputAreAnsweredInWholeLines) {
  constexpr int kQueries = 300;
  constexpr std::size_t kBytes = 4 << 20;
  BridgeProcess bridge;
  bridge.spawn("/bin/sh", {"-c", "stty raw -echo; head -c " + std::to_string(kBytes) + " /dev/zero"},
               R"(,"features":["process"])");
  FrameCollector collector(bridge, deadline(60000ms));
  for (int i = 0; i < kQueries; ++i) bridge.send(R"({"type":"query"})");
  ASSERT_TRUE(collector.wait_until(
      [](const std::vector<ParsedFrame>& frames, const std::string&) {
        return !frames.empty() && frames.back().type == "exit";
      },
      deadline(60000ms)));
  bridge.close_stdin();
  ASSERT_TRUE(collector.finish());
  EXPECT_EQ(bridge.unterminated_output(), "");
  int answers = 0;
  for (const ParsedFrame& frame : collector.frames()) {
    ASSERT_NE(frame.type, "") << "torn line: " << frame.line.substr(0, 200);
    if (frame.type == "process") ++answers;
  }
  EXPECT_EQ(answers, kQueries);
  EXPECT_EQ(collector.data(), std::string(kBytes, '\0'));
  EXPECT_EQ(bridge.wait_exit(deadline()), 0);
}

}  // namespace
}  // namespace qlp::test
