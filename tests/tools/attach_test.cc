// The attach tool's own codec, frames and command line; its terminal handling is covered by
// attach_tmux_test.py, which drives it in a real terminal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "attach/base64.h"
#include "attach/frames.h"
#include "attach/json.h"
#include "attach/options.h"
#include "attach/trace.h"

namespace qlp::attach {
namespace {

// RFC 4648, section 10.
TEST(Base64, EncodesAndDecodesTheRfcVectors) {
  const std::vector<std::pair<std::string, std::string>> vectors = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\xff\xff", 2), "//8="},
      {std::string("\0\0\0", 3), "AAAA"}};
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(base64_encode(bytes), text);
    auto decoded = base64_decode(text);
    ASSERT_TRUE(decoded) << text;
    EXPECT_EQ(*decoded, bytes);
  }
}

TEST(Base64, EveryByteValueSurvivesTheRoundTrip) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t length = 0; length <= all.size(); length += 37) {
    auto decoded = base64_decode(base64_encode(all.substr(0, length)));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, all.substr(0, length));
  }
}

TEST(Base64, RejectsMalformedText) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Q", "Base64 text of length 1 is not a multiple of 4"},
      {"QQ=", "Base64 text of length 3 is not a multiple of 4"},
      {"Q===", "invalid Base64 symbol at offset 1"},
      {"QQ==QQ==", "invalid Base64 symbol at offset 2"},
      {"QUJ\n", "invalid Base64 symbol at offset 3"},
      {"QU-D", "invalid Base64 symbol at offset 2"},
  };
  for (const auto& [text, message] : cases) {
    auto decoded = base64_decode(text);
    ASSERT_FALSE(decoded) << text;
    EXPECT_EQ(decoded.error().message(), message);
  }
}

TEST(Json, ParsesValuesWithEscapes) {
  auto value = parse_json(
      R"( {"a":[1,-2.5e3,true,false,null],"s":"q\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00","a":0} )");
  ASSERT_TRUE(value) << value.error().message();
  ASSERT_EQ(value->kind, JsonValue::Kind::kObject);
  ASSERT_EQ(value->members.size(), 3u);
  const JsonValue& array = value->members[0].value;
  ASSERT_EQ(array.items.size(), 5u);
  EXPECT_EQ(array.items[1].text, "-2.5e3");
  EXPECT_TRUE(array.items[2].boolean);
  EXPECT_EQ(array.items[4].kind, JsonValue::Kind::kNull);
  EXPECT_EQ(value->find("s")->text, "q\"\\/\b\f\n\r\t\xc3\xa9\xf0\x9f\x98\x80");
  // The last of two members with one name wins.
  EXPECT_EQ(value->find("a")->text, "0");
  EXPECT_EQ(value->find("missing"), nullptr);
}

TEST(Json, RejectsMalformedText) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "invalid JSON at byte 1: unexpected end of text"},
      {"{\"a\" 1}", "invalid JSON at byte 6: expected ':'"},
      {"[1 2]", "invalid JSON at byte 4: expected ',' or ']'"},
      {"{\"a\":1,}", "invalid JSON at byte 8: expected a string key"},
      {"01", "invalid JSON at byte 2: trailing characters"},
      {"1.", "invalid JSON at byte 3: invalid number"},
      {"\"a\x01\"", "invalid JSON at byte 3: control character in string"},
      {"\"\\x\"", "invalid JSON at byte 3: invalid escape"},
      {"\"\\ud800x\"", "invalid JSON at byte 8: lone leading surrogate"},
      {"\"\\udc00\"", "invalid JSON at byte 8: lone trailing surrogate"},
      {"tru", "invalid JSON at byte 1: expected a value"},
      {"{} x", "invalid JSON at byte 4: trailing characters"},
  };
  for (const auto& [text, message] : cases) {
    auto value = parse_json(text);
    ASSERT_FALSE(value) << text;
    EXPECT_EQ(value.error().message(), message) << text;
  }
}

TEST(Json, LimitsNesting) {
  EXPECT_TRUE(parse_json(std::string(128, '[') + std::string(128, ']')));
  auto deep = parse_json(std::string(129, '[') + std::string(129, ']'));
  ASSERT_FALSE(deep);
  EXPECT_EQ(deep.error().message(), "invalid JSON at byte 129: nesting too deep");
}

TEST(Json, WritesStringsWithTheBridgesEscapes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", R"("")"},
      {"plain/text", R"("plain/text")"},
      {"q\"b\\", R"("q\"b\\")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\x00\x1b\x1f\x7f", 4), "\"\\u0000\\u001b\\u001f\x7f\""},
      {"\xc3\xa9", "\"\xc3\xa9\""},
  };
  for (const auto& [text, json] : cases) {
    std::string out;
    append_json_string(out, text);
    EXPECT_EQ(out, json);
  }
}

TEST(Json, RecognisesUtf8) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"ascii", true},         {"\xc3\xa9", true},          {"\xf0\x9f\x98\x80", true},
      {"\xc3", false},         {"\xc0\xaf", false},         {"\xe0\x80\xaf", false},
      {"\xed\xa0\x80", false}, {"\xf4\x90\x80\x80", false}, {"\xff", false},
      {"\xe2\x82", false},
  };
  for (const auto& [bytes, valid] : cases) EXPECT_EQ(is_valid_utf8(bytes), valid) << bytes;
}

TEST(Frames, WritesInputFrames) {
  EXPECT_EQ(input_frame_line("Hi"), R"({"type":"input","data":"SGk="})");
  EXPECT_EQ(input_frame_line(std::string("\x03", 1)), R"({"type":"input","data":"Aw=="})");
  EXPECT_EQ(resize_frame_line({24, 80}), R"({"type":"resize","rows":24,"cols":80})");
  EXPECT_EQ(kill_frame_line(), R"({"type":"kill"})");
}

TEST(Frames, BuildsTheSpawnFrameOfASession) {
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
    EXPECT_EQ(spawn_frame_line(*request), c.line);
  }
}

TEST(Frames, RefusesAProgramOrArgumentThatIsNotUtf8) {
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

TEST(Frames, ReadsOutputFrames) {
  auto ready = parse_output_frame(R"({"type":"ready"})");
  ASSERT_TRUE(ready);
  EXPECT_EQ(ready->type, OutputFrame::Type::kReady);

  auto data = parse_output_frame(R"({"type":"data","data":"SGk="})");
  ASSERT_TRUE(data);
  EXPECT_EQ(data->type, OutputFrame::Type::kData);
  EXPECT_EQ(data->bytes, "Hi");

  auto exit = parse_output_frame(R"({"type":"exit","code":4294967295})");
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->type, OutputFrame::Type::kExit);
  EXPECT_EQ(exit->code, 4294967295u);

  auto error = parse_output_frame(R"({"message":"failed to spawn shell \"x\"\n","type":"error"})");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->type, OutputFrame::Type::kError);
  EXPECT_EQ(error->message, "failed to spawn shell \"x\"\n");
}

TEST(Frames, RejectsUnreadableOutputFrames) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"not json", "invalid JSON at byte 1: expected a value"},
      {R"(["ready"])", "a frame must be a JSON object"},
      {R"({"type":1})", "member `type` is missing or not a string"},
      {R"({"type":"bogus"})", "unknown frame type `bogus`"},
      {R"({"type":"data"})", "member `data` is missing or not a string"},
      {R"({"type":"data","data":"QQ="})", "Base64 text of length 3 is not a multiple of 4"},
      {R"({"type":"exit","code":"0"})", "member `code` is missing or not a number"},
      {R"({"type":"exit","code":-1})", "exit code -1 is not an unsigned 32-bit integer"},
      {R"({"type":"exit","code":4294967296})",
       "exit code 4294967296 is not an unsigned 32-bit integer"},
      {R"({"type":"exit","code":1.5})", "exit code 1.5 is not an unsigned 32-bit integer"},
      {R"({"type":"error","message":null})", "member `message` is missing or not a string"},
  };
  for (const auto& [line, message] : cases) {
    auto frame = parse_output_frame(line);
    ASSERT_FALSE(frame) << line;
    EXPECT_EQ(frame.error().message(), message) << line;
  }
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
