// The opt-in extensions at the frame level: the features member, the signal and query frames,
// the extended output frames, the error frame's details and the signal names.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <string>

#include "frames/error_frame.h"
#include "frames/features.h"
#include "frames/input_frame.h"
#include "frames/output_frame.h"
#include "frames/signal_names.h"
#include "support/exact_bytes.h"

namespace qlp {
namespace {

Features all_features() { return Features::accept({"pid", "process", "signal", "errors"}); }

Result<InputFrame> parse(std::string_view line, Features accepted = {}) {
  return parse_input_frame(test::ExactBytes(line), accepted);
}

TEST(FeaturesTest, AcceptKeepsTheKnownNamesInTheirFixedOrder) {
  EXPECT_FALSE(Features().asked());
  EXPECT_TRUE(Features::accept({}).asked());
  EXPECT_TRUE(Features::accept({}).names().empty());
  const Features some = Features::accept({"errors", "nope", "pid", "errors", "Signal"});
  EXPECT_EQ(some.names(), (std::vector<std::string_view>{"pid", "errors"}));
  EXPECT_TRUE(some.has(Feature::kErrors));
  EXPECT_FALSE(some.has(Feature::kSignal));
  EXPECT_EQ(all_features().names(),
            (std::vector<std::string_view>{"pid", "process", "signal", "errors"}));
}

TEST(FeaturesTest, TheSpawnFrameCarriesFeaturesInTheObjectFormOnly) {
  struct Row {
    std::string line;
    std::optional<std::vector<std::string>> features;
  };
  const Row rows[] = {
      {R"({"type":"spawn","shellPath":"sh"})", std::nullopt},
      {R"({"type":"spawn","shellPath":"sh","features":null})", std::nullopt},
      {R"({"type":"spawn","features":[],"shellPath":"sh"})", std::vector<std::string>{}},
      {R"({"type":"spawn","shellPath":"sh","features":["pid","x\u0079"]})",
       std::vector<std::string>{"pid", "xy"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    Result<InputFrame> frame = parse(row.line);
    ASSERT_TRUE(frame) << frame.error().message();
    EXPECT_EQ(std::get<InputFrame::Spawn>(frame->frame).features, row.features);
  }
  // The array form keeps its six fields and its messages.
  Result<InputFrame> seven = parse(R"(["spawn","sh",[],null,null,null,null,["pid"]])");
  ASSERT_FALSE(seven);
  EXPECT_EQ(seven.error().message(), "invalid length 7, expected 6 elements in sequence");
}

TEST(FeaturesTest, SignalAndQueryFramesExistOnlyWithTheirFeature) {
  const Features signal_only = Features::accept({"signal"});
  const Features process_only = Features::accept({"process"});
  struct Row {
    std::string line;
    Features accepted;
    std::string message;  // Empty: decodes.
  };
  const std::string base = "unknown variant `%`, expected one of `spawn`, `input`, `resize`, `kill`";
  auto unknown = [&](const std::string& tag, const std::string& more, int column) {
    std::string text = base;
    text.replace(text.find('%'), 1, tag);
    return text + more + " at line 1 column " + std::to_string(column);
  };
  const Row rows[] = {
      {R"({"type":"query"})", {}, unknown("query", "", 15)},
      {R"({"type":"query"})", signal_only, unknown("query", ", `signal`", 15)},
      {R"({"type":"query"})", process_only, ""},
      {R"(["query"])", all_features(), ""},
      {R"({"type":"query","extra":1})", all_features(), ""},
      {R"(["query",1])", all_features(), "invalid length 1, expected 0 elements in sequence"},
      {R"({"type":"signal","signal":"SIGTERM"})", {}, unknown("signal", "", 16)},
      {R"({"type":"signal","signal":"SIGTERM"})", process_only, unknown("signal", ", `query`", 16)},
      {R"({"type":"signal","signal":"SIGTERM"})", signal_only, ""},
      {R"(["signal","SIGUSR1"])", signal_only, ""},
      {R"({"type":"signal"})", signal_only, "missing field `signal`"},
      {R"({"type":"signal","signal":15})", signal_only, "invalid type: integer `15`, expected a string"},
      {R"({"type":"signal","signal":"sigterm"})", signal_only,
       "unknown signal `sigterm`, expected a signal name such as `SIGTERM`"},
      {R"({"type":"signal","signal":"SIGTERM","signal":"SIGINT"})", signal_only,
       "duplicate field `signal`"},
      {R"({"type":"nope"})", all_features(), unknown("nope", ", `signal`, `query`", 14)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line + " with " + std::to_string(row.accepted.names().size()));
    Result<InputFrame> frame = parse(row.line, row.accepted);
    if (row.message.empty()) {
      EXPECT_TRUE(frame) << frame.error().message();
    } else {
      ASSERT_FALSE(frame);
      EXPECT_EQ(frame.error().message(), row.message);
    }
  }
  Result<InputFrame> usr1 = parse(R"(["signal","SIGUSR1"])", signal_only);
  ASSERT_TRUE(usr1);
  EXPECT_EQ(std::get<InputFrame::Signal>(usr1->frame).number, SIGUSR1);
}

TEST(FeaturesTest, SignalNamesBothWays) {
  struct Row {
    const char* name;
    int number;
    const char* shown;  // The name the number is shown by.
  };
  const Row rows[] = {
      {"SIGHUP", SIGHUP, "SIGHUP"},   {"SIGKILL", SIGKILL, "SIGKILL"},
      {"SIGTERM", SIGTERM, "SIGTERM"}, {"SIGWINCH", SIGWINCH, "SIGWINCH"},
      {"SIGIOT", SIGABRT, "SIGABRT"}, {"SIGSYS", SIGSYS, "SIGSYS"},
#ifdef SIGRTMIN
      {"SIGRTMIN", SIGRTMIN, "SIGRTMIN"}, {"SIGRTMIN+3", SIGRTMIN + 3, "SIGRTMIN+3"},
      {"SIGRTMAX", SIGRTMAX, nullptr},    {"SIGRTMAX-1", SIGRTMAX - 1, nullptr},
#endif
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(signal_number(row.name), row.number);
    if (row.shown != nullptr) {
      EXPECT_EQ(signal_name(row.number), row.shown);
    }
  }
#ifdef SIGRTMIN
  EXPECT_EQ(signal_name(SIGRTMAX), "SIGRTMIN+" + std::to_string(SIGRTMAX - SIGRTMIN));
#endif
  for (const char* text : {"", "SIG", "TERM", "SIGTERM ", "SIGRTMIN+", "SIGRTMIN-1", "SIGRTMIN+ 1",
                           "SIGRTMIN+99", "SIGRTMAX+1", "SIGRTMIN+01x"}) {
    EXPECT_EQ(signal_number(text), std::nullopt) << text;
  }
  EXPECT_EQ(signal_name(0), std::nullopt);
  // Every named number reads back as itself.
  for (int number = 1; number < NSIG; ++number) {
    if (std::optional<std::string> name = signal_name(number)) {
      EXPECT_EQ(signal_number(*name), number) << *name;
    }
  }
}

TEST(FeaturesTest, ExtendedOutputFramesPutTheirMembersAfterTheOriginalOnes) {
  struct Row {
    OutputFrame frame;
    std::string line;
  };
  const Row rows[] = {
      {{OutputFrame::Ready{std::vector<std::string_view>{"pid", "errors"}, 42}},
       R"({"type":"ready","features":["pid","errors"],"pid":42})"},
      {{OutputFrame::Ready{std::vector<std::string_view>{}}}, R"({"type":"ready","features":[]})"},
      {{OutputFrame::Exit{1, "SIGRTMIN+2"}}, R"({"type":"exit","code":1,"signal":"SIGRTMIN+2"})"},
      {{OutputFrame::Error{"m", "c \"q\"", "ENOENT"}},
       R"({"type":"error","message":"m","cause":"c \"q\"","code":"ENOENT"})"},
      {{OutputFrame::Error{"m", "c"}}, R"({"type":"error","message":"m","cause":"c"})"},
      {{OutputFrame::Process{7, "vim", "/h\xC3\xA9/\n"}},
       "{\"type\":\"process\",\"pid\":7,\"name\":\"vim\",\"cwd\":\"/h\xC3\xA9/\\n\"}"},
      {{OutputFrame::Process{}}, R"({"type":"process","pid":null,"name":null,"cwd":null})"},
      {{OutputFrame::Process{7, "bash", std::nullopt}},
       R"({"type":"process","pid":7,"name":"bash","cwd":null})"},
  };
  for (const Row& row : rows) EXPECT_EQ(frame_line(row.frame), row.line + "\n");
}

TEST(FeaturesTest, TheErrorFrameTakesCauseAndTheFirstErrnoAlongTheChain) {
  struct Row {
    const char* name;
    Error error;
    OutputFrame::Error expected;
  };
  const Row rows[] = {
      {"plain", Error("bad"), {"bad"}},
      {"os error alone", Error::os(EIO), {os_error_display(EIO), std::nullopt, "EIO"}},
      {"wrapped os error",
       Error::os_with_message(ENOENT, "gone").wrap("failed"),
       {"failed", "gone", "ENOENT"}},
      {"wrapped twice, the cause's cause holds the number",
       Error::os(EACCES).wrap("inner").wrap("outer"),
       {"outer", "inner", "EACCES"}},
      {"wrapped without a number", Error("why").wrap("what"), {"what", "why"}},
      {"a number without a name", Error::os_with_message(4000, "odd"), {"odd", std::nullopt, "E4000"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const OutputFrame::Error plain = error_frame(row.error, false);
    EXPECT_EQ(plain.message, row.expected.message);
    EXPECT_EQ(plain.cause, std::nullopt);
    EXPECT_EQ(plain.code, std::nullopt);
    const OutputFrame::Error detailed = error_frame(row.error, true);
    EXPECT_EQ(detailed.message, row.expected.message);
    EXPECT_EQ(detailed.cause, row.expected.cause);
    EXPECT_EQ(detailed.code, row.expected.code);
  }
}

}  // namespace
}  // namespace qlp
