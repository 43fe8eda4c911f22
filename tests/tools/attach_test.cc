// The attach tool's spawn request, command line and trace; its terminal handling is covered by
// attach_tmux_test.py, which drives it in a real terminal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "attach/options.h"
#include "attach/spawn_request.h"
#include "attach/trace.h"

namespace qlp::attach {
namespace {

TEST(SpawnRequest, BuildsTheSpawnFrameOfASession) {
  struct Case {
    std::vector<std::string> command;
    std::optional<std::string> shell;
    std::vector<std::string> environ;
    std::optional<std::string> cwd;
    std::optional<TerminalSize> size;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{},
       "/bin/bash",
       {"A=1", "B=x=y", "EMPTY="},
       "/home/p",
       TerminalSize{30, 100},
       R"({"type":"spawn","shellPath":"/bin/bash","shellArgs":[],"cwd":"/home/p",)"
       R"("env":{"A":"1","B":"x=y","EMPTY":""},"rows":30,"cols":100})"},
      // No $SHELL, or an empty one: /bin/sh. No terminal: the bridge picks the size.
      {{},
       std::nullopt,
       {},
       std::nullopt,
       std::nullopt,
       R"({"type":"spawn","shellPath":"/bin/sh","shellArgs":[]})"},
      {{},
       "",
       {},
       std::nullopt,
       std::nullopt,
       R"({"type":"spawn","shellPath":"/bin/sh","shellArgs":[]})"},
      // A program given on the command line wins over $SHELL; its arguments follow in order.
      {{"vi", "-R", "a \"b\""},
       "/bin/bash",
       {},
       "/",
       TerminalSize{0, 0},
       R"({"type":"spawn","shellPath":"vi","shellArgs":["-R","a \"b\""],"cwd":"/","rows":0,"cols":0})"},
      // Entries that are not UTF-8 or have no "=" stay out; a leading "=" is part of the name;
      // a cwd that is not UTF-8 is left out.
      {{"sh"},
       std::nullopt,
       {"BAD=\xff", "NOEQUALS", "=A=1", "OK=\xc3\xa9"},
       "/\xff",
       std::nullopt,
       "{\"type\":\"spawn\",\"shellPath\":\"sh\",\"shellArgs\":[],\"env\":{\"=A\":\"1\","
       "\"OK\":\"\xc3\xa9\"}}"},
  };
  for (const auto& c : cases) {
    auto request = build_spawn_request(c.command, c.shell, c.environ, c.cwd, c.size);
    ASSERT_TRUE(request) << c.line;
    EXPECT_EQ(client::spawn_frame_line(*request), c.line);
  }
}

TEST(SpawnRequest, RefusesAProgramOrArgumentThatIsNotUtf8) {
  auto program = build_spawn_request({"\xff"}, std::nullopt, {}, std::nullopt, std::nullopt);
  ASSERT_FALSE(program);
  EXPECT_EQ(program.error().message(),
            "the program name is not valid UTF-8, which frames cannot carry");
  auto argument =
      build_spawn_request({"sh", "ok", "\xfe"}, std::nullopt, {}, std::nullopt, std::nullopt);
  ASSERT_FALSE(argument);
  EXPECT_EQ(argument.error().message(),
            "an argument is not valid UTF-8, which frames cannot carry");
}

TEST(Options, ParsesTheCommandLine) {
  struct Case {
    std::vector<std::string> args;
    std::string bridge;
    std::optional<std::string> trace;
    std::vector<std::string> command;
    bool help;
  };
  const std::vector<Case> cases = {
      {{}, "default", std::nullopt, {}, false},
      {{"--bridge", "/b", "--trace", "t.jsonl"}, "/b", "t.jsonl", {}, false},
      {{"--bridge=/b", "--trace=t"}, "/b", "t", {}, false},
      // The program's own options are the program's.
      {{"vim", "--bridge", "x", "-R"},
       "default",
       std::nullopt,
       {"vim", "--bridge", "x", "-R"},
       false},
      {{"--", "--help"}, "default", std::nullopt, {"--help"}, false},
      {{"-h"}, "default", std::nullopt, {}, true},
      {{"--help", "sh"}, "default", std::nullopt, {"sh"}, true},
  };
  for (const auto& c : cases) {
    auto options = parse_options(c.args, "default");
    ASSERT_TRUE(options);
    EXPECT_EQ(options->bridge, c.bridge);
    EXPECT_EQ(options->trace_path, c.trace);
    EXPECT_EQ(options->command, c.command);
    EXPECT_EQ(options->help, c.help);
  }
}

TEST(Options, RejectsBadOptions) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--bridge"}, "option --bridge needs a value"},
      {{"--trace"}, "option --trace needs a value"},
      {{"--bridge="}, "option --bridge needs a non-empty path"},
      {{"--trace", ""}, "option --trace needs a non-empty path"},
      {{"-x", "sh"}, "unknown option -x"},
      {{"--bridges=1"}, "unknown option --bridges=1"},
  };
  for (const auto& [args, message] : cases) {
    auto options = parse_options(args, "default");
    ASSERT_FALSE(options) << message;
    EXPECT_EQ(options.error().message(), message);
  }
}

TEST(Trace, KeepsEveryRecordOneJsonLine) {
  const std::string time = "2026-01-02T03:04:05.678901Z";
  EXPECT_EQ(Trace::format(Trace::Direction::kIn, R"({"type":"kill"})", time),
            R"({"time":"2026-01-02T03:04:05.678901Z","dir":"in","frame":{"type":"kill"}})");
  EXPECT_EQ(Trace::format(Trace::Direction::kOut, "oops \"x\"", time),
            R"({"time":"2026-01-02T03:04:05.678901Z","dir":"out","raw":"oops \"x\""})");
  EXPECT_EQ(Trace::format(Trace::Direction::kOut, "\xff", time),
            R"({"time":"2026-01-02T03:04:05.678901Z","dir":"out","rawBase64":"/w=="})");
  std::string now = Trace::now();
  ASSERT_EQ(now.size(), time.size());
  EXPECT_EQ(now[10], 'T');
  EXPECT_EQ(now.back(), 'Z');
}

}  // namespace
}  // namespace qlp::attach
