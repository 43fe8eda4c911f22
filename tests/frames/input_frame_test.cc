#include "frames/input_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "support/exact_bytes.h"

namespace qlp {
namespace {

using Env = std::unordered_map<std::string, std::optional<std::string>>;

Result<InputFrame> parse(std::string_view line) { return parse_input_frame(test::ExactBytes(line)); }

struct FailureCase {
  std::string line;
  std::string message;
};

void expect_failures(const std::vector<FailureCase>& cases) {
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.line);
    Result<InputFrame> frame = parse(c.line);
    ASSERT_FALSE(frame.has_value());
    EXPECT_EQ(frame.error().message(), c.message);
  }
}

InputFrame decode(std::string_view line) {
  Result<InputFrame> frame = parse(line);
  EXPECT_TRUE(frame.has_value()) << line << ": " << frame.error().message();
  return frame.has_value() ? std::move(frame).value() : InputFrame{InputFrame::Kill{}};
}

bool decodes_as_kill(std::string_view line) {
  Result<InputFrame> frame = parse(line);
  return frame.has_value() && std::holds_alternative<InputFrame::Kill>(frame->frame);
}

const std::string kVariants = "expected one of `spawn`, `input`, `resize`, `kill`";

TEST(ParseInputFrame, FrameAndTagFaultsArePlacedAfterTheItemRead) {
  expect_failures({
      {"{}", "missing field `type` at line 1 column 2"},
      {"[]", "missing field `type` at line 1 column 2"},
      {"{\"a\":1 }", "missing field `type` at line 1 column 8"},
      {"{\"type\":\"bogus\"}", "unknown variant `bogus`, " + kVariants + " at line 1 column 15"},
      {"{\"type\":\"Kill\"}", "unknown variant `Kill`, " + kVariants + " at line 1 column 14"},
      {"{\"type\":\"sp\\u0061wn!\"}",
       "unknown variant `spawn!`, " + kVariants + " at line 1 column 21"},
      {"{\"type\":5}", "invalid type: integer `5`, expected variant identifier at line 1 column 9"},
      {"{\"type\":null}", "invalid type: null, expected variant identifier at line 1 column 12"},
      {"{\"type\":true}",
       "invalid type: boolean `true`, expected variant identifier at line 1 column 12"},
      {"{\"type\":-0}",
       "invalid type: floating point `-0.0`, expected variant identifier at line 1 column 10"},
      // A container is not read: the fault sits on the byte before it.
      {"{\"type\":[1]}", "invalid type: sequence, expected variant identifier at line 1 column 8"},
      {"{\"type\": {}}", "invalid type: map, expected variant identifier at line 1 column 9"},
      {"{\"type\":" + std::string(200, '['),
       "invalid type: sequence, expected variant identifier at line 1 column 8"},
      // Columns count bytes: the é takes two.
      {"{\"x\":\"\xC3\xA9\",\"type\":5}",
       "invalid type: integer `5`, expected variant identifier at line 1 column 18"},
      {"{\"type\":\"kill\",\"type\":\"kill\"}", "duplicate field `type` at line 1 column 21"},
      {"{\"type\":\"kill\",\"type\":", "duplicate field `type` at line 1 column 21"},
      // The tag is checked as soon as it is read, before the rest of the line.
      {"{\"type\":\"bogus\",\"x\":tru}",
       "unknown variant `bogus`, " + kVariants + " at line 1 column 15"},
      {"\"hello\"",
       "invalid type: string \"hello\", expected internally tagged enum InputFrame at line 1 "
       "column 7"},
      {"5",
       "invalid type: integer `5`, expected internally tagged enum InputFrame at line 1 column 1"},
      {"  null",
       "invalid type: null, expected internally tagged enum InputFrame at line 1 column 6"},
      {"-1.5",
       "invalid type: floating point `-1.5`, expected internally tagged enum InputFrame at line 1 "
       "column 4"},
      {"\"a\\\"b\" x",
       "invalid type: string \"a\\\"b\", expected internally tagged enum InputFrame at line 1 "
       "column 6"},
      {"[\"bogus\"]", "unknown variant `bogus`, " + kVariants + " at line 1 column 8"},
      {"[5]", "invalid type: integer `5`, expected variant identifier at line 1 column 2"},
      {"[[]]", "invalid type: sequence, expected variant identifier at line 1 column 1"},
  });
}

TEST(ParseInputFrame, SyntaxFaultsArePlacedAtTheByteAtFault) {
  const std::string kill = "{\"type\":\"kill\",\"x\":";  // 19 bytes
  expect_failures({
      {"{\"type\":\"kill\"} x", "trailing characters at line 1 column 17"},
      {"{\"type\":\"kill\",\"x\":1} {\"type\":\"kill\"}",
       "trailing characters at line 1 column 23"},
      {"{\"type\":\"kill\",}", "trailing comma at line 1 column 16"},
      {kill + "[1,]}", "trailing comma at line 1 column 23"},
      {"[\"kill\",]", "trailing comma at line 1 column 9"},
      {"{\"type\":\"kill\",\"extra\":tru}", "expected ident at line 1 column 27"},
      {kill + "nul", "EOF while parsing a value at line 1 column 22"},
      {kill + "[1,2}", "expected `,` or `]` at line 1 column 24"},
      {kill + "[1 2]}", "expected `,` or `]` at line 1 column 23"},
      {"{\"type\":\"kill\" \"x\":1}", "expected `,` or `}` at line 1 column 16"},
      {"{\"type\" \"kill\"}", "expected `:` at line 1 column 9"},
      {kill + "}", "expected value at line 1 column 20"},
      {"x", "expected value at line 1 column 1"},
      // Only the four JSON white space characters separate tokens; U+00A0 does not.
      {kill + "\xC2\xA0"
              "1}",
       "expected value at line 1 column 20"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"type\":\"kill\",,}", "key must be a string at line 1 column 16"},
      {kill + "\"a\\qb\"}", "invalid escape at line 1 column 23"},
      {kill + "\"\\u12G4\"}", "invalid escape at line 1 column 25"},
      // Digits from '0' to '9': the bytes just outside the range are no digits.
      {kill + "/}", "expected value at line 1 column 20"},
      {kill + ":}", "expected value at line 1 column 20"},
      {kill + "9/}", "expected `,` or `}` at line 1 column 21"},
      {kill + "0:}", "expected `,` or `}` at line 1 column 21"},
      {kill + "01}", "invalid number at line 1 column 21"},
      {kill + "-}", "invalid number at line 1 column 21"},
      {kill + "1.}", "invalid number at line 1 column 22"},
      {kill + "1e}", "invalid number at line 1 column 22"},
      {kill + "1e+}", "invalid number at line 1 column 23"},
      {kill + "1e400}", "number out of range at line 1 column 24"},
      {kill + "-1e400}", "number out of range at line 1 column 25"},
      {kill + "\"a\tb\"}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 22"},
      {kill + "\"\\uD800\"}", "unexpected end of hex escape at line 1 column 27"},
      {kill + "\"\\uD800\\n\"}", "unexpected end of hex escape at line 1 column 28"},
      {kill + "\"\\uDC00\"}", "lone leading surrogate in hex escape at line 1 column 26"},
      {kill + "\"\\uD800\\u0041\"}", "lone leading surrogate in hex escape at line 1 column 32"},
      {kill + "\"\\uD800\\uD800\"}", "lone leading surrogate in hex escape at line 1 column 32"},
      // The ends of the leading range and the values just outside the trailing one.
      {kill + "\"\\uDBFF\"}", "unexpected end of hex escape at line 1 column 27"},
      {kill + "\"\\uDFFF\"}", "lone leading surrogate in hex escape at line 1 column 26"},
      {kill + "\"\\uD800\\uDBFF\"}", "lone leading surrogate in hex escape at line 1 column 32"},
      {kill + "\"\\uDBFF\\uE000\"}", "lone leading surrogate in hex escape at line 1 column 32"},
      // A line that ends too early is placed at its length.
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"type\":\"kill\"", "EOF while parsing an object at line 1 column 14"},
      {"{\"type\":\"kill\",\"x\"", "EOF while parsing an object at line 1 column 18"},
      {"{\"type\":\"kill\",", "EOF while parsing a value at line 1 column 15"},
      {"{\"type\":", "EOF while parsing a value at line 1 column 8"},
      {kill, "EOF while parsing a value at line 1 column 19"},
      {kill + "-", "EOF while parsing a value at line 1 column 20"},
      {kill + "1.", "EOF while parsing a value at line 1 column 21"},
      {kill + "1e", "EOF while parsing a value at line 1 column 21"},
      {kill + "1e-", "EOF while parsing a value at line 1 column 22"},
      {kill + "tr", "EOF while parsing a value at line 1 column 21"},
      {kill + "[1", "EOF while parsing a list at line 1 column 21"},
      {"[\"kill\"", "EOF while parsing a list at line 1 column 7"},
      {kill + "\"ab", "EOF while parsing a string at line 1 column 22"},
      {kill + "\"\\", "EOF while parsing a string at line 1 column 21"},
      {kill + "\"\\u12", "EOF while parsing a string at line 1 column 24"},
      {kill + "\"\\uD800", "EOF while parsing a string at line 1 column 26"},
      {kill + "\"\\uD800\\", "EOF while parsing a string at line 1 column 27"},
      {"{\"type\":\"ki", "EOF while parsing a string at line 1 column 11"},
  });
}

TEST(ParseInputFrame, SyntaxFaultsComeBeforeMemberFaults) {
  expect_failures({
      {"{\"type\":\"resize\",\"rows\":\"x\",\"cols\":tru}", "expected ident at line 1 column 39"},
      {"{\"type\":\"input\"} x", "trailing characters at line 1 column 18"},
      {"{\"type\":\"input\",\"data\":5,\"type\":\"input\"}",
       "duplicate field `type` at line 1 column 31"},
      {"[\"resize\",\"x\",[1,]]", "trailing comma at line 1 column 18"},
  });
}

TEST(ParseInputFrame, MemberFaultsCarryNoPosition) {
  expect_failures({
      {"{\"type\":\"input\"}", "missing field `data`"},
      {"{\"type\":\"input\",\"data\":null}", "invalid type: null, expected a string"},
      {"{\"type\":\"input\",\"data\":5}", "invalid type: integer `5`, expected a string"},
      {"{\"type\":\"input\",\"data\":\"a\",\"data\":\"a\"}", "duplicate field `data`"},
      {"{\"type\":\"resize\"}", "missing field `rows`"},
      {"{\"type\":\"resize\",\"cols\":80}", "missing field `rows`"},
      {"{\"type\":\"resize\",\"rows\":24}", "missing field `cols`"},
      {"{\"type\":\"resize\",\"rows\":70000,\"cols\":80}",
       "invalid value: integer `70000`, expected u16"},
      {"{\"type\":\"resize\",\"rows\":65536,\"cols\":80}",
       "invalid value: integer `65536`, expected u16"},
      {"{\"type\":\"resize\",\"rows\":-1,\"cols\":80}",
       "invalid value: integer `-1`, expected u16"},
      {"{\"type\":\"resize\",\"rows\":-9223372036854775808,\"cols\":80}",
       "invalid value: integer `-9223372036854775808`, expected u16"},
      {"{\"type\":\"resize\",\"rows\":24.0,\"cols\":80}",
       "invalid type: floating point `24.0`, expected u16"},
      {"{\"type\":\"resize\",\"rows\":1e2,\"cols\":80}",
       "invalid type: floating point `100.0`, expected u16"},
      {"{\"type\":\"resize\",\"rows\":18446744073709551616,\"cols\":80}",
       "invalid type: floating point `1.8446744073709552e+19`, expected u16"},
      {"{\"type\":\"resize\",\"rows\":-0,\"cols\":80}",
       "invalid type: floating point `-0.0`, expected u16"},
      {"{\"type\":\"resize\",\"rows\":null,\"cols\":80}", "invalid type: null, expected u16"},
      {"{\"type\":\"resize\",\"rows\":\"24\",\"cols\":80}",
       "invalid type: string \"24\", expected u16"},
      {"{\"type\":\"resize\",\"rows\":true,\"cols\":80}",
       "invalid type: boolean `true`, expected u16"},
      {"{\"type\":\"resize\",\"rows\":[],\"cols\":80}", "invalid type: sequence, expected u16"},
      {"{\"type\":\"resize\",\"rows\":{},\"cols\":80}", "invalid type: map, expected u16"},
      // A repeated key fails before its value is looked at.
      {"{\"type\":\"resize\",\"rows\":1,\"cols\":2,\"rows\":\"x\"}", "duplicate field `rows`"},
      {"{\"type\":\"spawn\"}", "missing field `shellPath`"},
      {"{\"type\":\"spawn\",\"shellArgs\":[]}", "missing field `shellPath`"},
      {"{\"type\":\"spawn\",\"shellPath\":\"/bin/sh\",\"shellPath\":\"/bin/sh\"}",
       "duplicate field `shellPath`"},
      {"{\"type\":\"spawn\",\"shellPath\":null}", "invalid type: null, expected a string"},
      {"{\"type\":\"spawn\",\"shellPath\":\"/bin/sh\",\"shellArgs\":null}",
       "invalid type: null, expected a sequence"},
      {"{\"type\":\"spawn\",\"shellPath\":\"/bin/sh\",\"shellArgs\":\"-l\"}",
       "invalid type: string \"-l\", expected a sequence"},
      {"{\"type\":\"spawn\",\"shellPath\":\"/bin/sh\",\"shellArgs\":[\"-l\",1]}",
       "invalid type: integer `1`, expected a string"},
      {"{\"type\":\"spawn\",\"shellPath\":\"/bin/sh\",\"cwd\":5}",
       "invalid type: integer `5`, expected a string"},
      {"{\"type\":\"spawn\",\"shellPath\":\"/bin/sh\",\"env\":{\"A\":1}}",
       "invalid type: integer `1`, expected a string"},
      {"{\"type\":\"spawn\",\"shellPath\":\"/bin/sh\",\"env\":[]}",
       "invalid type: sequence, expected a map"},
      {"{\"type\":\"spawn\",\"shellPath\":\"/bin/sh\",\"env\":\"A=1\"}",
       "invalid type: string \"A=1\", expected a map"},
      {"{\"type\":\"spawn\",\"shellPath\":\"/bin/sh\",\"cols\":-5}",
       "invalid value: integer `-5`, expected u16"},
      // Members are checked in the order given, before the required keys.
      {"{\"type\":\"spawn\",\"rows\":-1,\"shellPath\":5}",
       "invalid value: integer `-1`, expected u16"},
      {"{\"type\":\"spawn\",\"cwd\":5}", "invalid type: integer `5`, expected a string"},
  });
}

TEST(ParseInputFrame, ArrayFormFaults) {
  const std::string spawn6 = " with 6 elements";
  expect_failures({
      {"[\"spawn\"]", "invalid length 0, expected struct variant InputFrame::Spawn" + spawn6},
      {"[\"spawn\",\"/bin/sh\"]",
       "invalid length 2, expected struct variant InputFrame::Spawn" + spawn6},
      {"[\"spawn\",\"/bin/sh\",[]]",
       "invalid length 2, expected struct variant InputFrame::Spawn" + spawn6},
      {"[\"spawn\",\"/bin/sh\",[],null,null]",
       "invalid length 4, expected struct variant InputFrame::Spawn" + spawn6},
      {"[\"spawn\",\"/bin/sh\",[],null,null,null]",
       "invalid length 5, expected struct variant InputFrame::Spawn" + spawn6},
      {"[\"spawn\",\"/bin/sh\",[],null,null,null,null,1]",
       "invalid length 7, expected 6 elements in sequence"},
      {"[\"spawn\",5]", "invalid type: integer `5`, expected a string"},
      {"[\"spawn\",\"/bin/sh\",null,null,null,null,null]",
       "invalid type: null, expected a sequence"},
      {"[\"spawn\",\"/bin/sh\",[],null,null,null,-1,7]",
       "invalid value: integer `-1`, expected u16"},
      {"[\"input\"]", "invalid length 0, expected struct variant InputFrame::Input with 1 element"},
      {"[\"input\",\"aGk=\",\"x\"]", "invalid length 2, expected 1 element in sequence"},
      {"[\"input\",null,\"x\"]", "invalid type: null, expected a string"},
      {"[\"resize\"]",
       "invalid length 0, expected struct variant InputFrame::Resize with 2 elements"},
      {"[\"resize\",24]",
       "invalid length 1, expected struct variant InputFrame::Resize with 2 elements"},
      {"[\"resize\",24,80,1]", "invalid length 3, expected 2 elements in sequence"},
      {"[\"resize\",24,70000,1]", "invalid value: integer `70000`, expected u16"},
      {"[\"resize\",null,80]", "invalid type: null, expected u16"},
      {"[\"kill\",1]", "invalid length 1, expected 0 elements in sequence"},
      {"[\"kill\",1,2]", "invalid length 2, expected 0 elements in sequence"},
  });
}

TEST(ParseInputFrame, NestingStopsAtLevel127) {
  const std::string kill = "{\"type\":\"kill\",\"x\":";  // 19 bytes
  auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  auto repeated = [](std::string_view text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
  };
  // The frame's object is level 1; 126 arrays inside reach level 127.
  EXPECT_TRUE(decodes_as_kill(kill + nested(126) + "}"));
  expect_failures({
      {kill + nested(127) + "}", "recursion limit exceeded at line 1 column 146"},
      {"[\"resize\"," + nested(127) + "]", "recursion limit exceeded at line 1 column 137"},
      {kill + repeated("{\"a\":", 1000), "recursion limit exceeded at line 1 column 650"},
  });
  EXPECT_EQ(parse("[\"resize\"," + nested(126) + "]").error().message(),
            "invalid type: sequence, expected u16");
}

TEST(ParseInputFrame, KillIgnoresEveryOtherMember) {
  for (const char* line : {
           "{\"type\":\"kill\"}",
           "[\"kill\"]",
           "{\"type\":\"kill\",\"extra\":[1,2]}",
           "{\"type\":\"kill\",\"data\":5,\"rows\":null,\"data\":[]}",
           "{\"extra\":{\"type\":\"input\"},\"type\":\"kill\"}",
           "{\"type\":\"kill\"}  \t ",
           "  {\"type\":\"kill\"}",
           // A carriage return left before the line feed is white space.
           "{\"type\":\"kill\"}\r",
           "{\"typ\\u0065\":\"k\\u0069ll\"}",
           "{ \"type\" : \"kill\" , \"x\" : [ { } , [ ] , \"\\uD83D\\uDE00\" ] }",
       }) {
    EXPECT_TRUE(decodes_as_kill(line)) << line;
  }
}

TEST(ParseInputFrame, DecodesEveryField) {
  const InputFrame frame = decode(
      "{\"shellArgs\":[\"-l\",\"-c\",\"echo \\\"hi\\\"\"],\"cwd\":\"/tmp\",\"rows\":0,"
      "\"env\":{\"A\":\"1\",\"B\":null,\"A\":\"2\"},\"cols\":65535,\"shellPath\":\"/bin/sh\","
      "\"unknown\":{\"x\":[1]},\"type\":\"spawn\"}");
  ASSERT_TRUE(std::holds_alternative<InputFrame::Spawn>(frame.frame));
  const auto& spawn = std::get<InputFrame::Spawn>(frame.frame);
  EXPECT_EQ(spawn.shell_path, "/bin/sh");
  EXPECT_EQ(spawn.shell_args, (std::vector<std::string>{"-l", "-c", "echo \"hi\""}));
  EXPECT_EQ(spawn.cwd, "/tmp");
  EXPECT_EQ(spawn.env, (Env{{"A", "2"}, {"B", std::nullopt}}));
  EXPECT_EQ(spawn.rows, 0);
  EXPECT_EQ(spawn.cols, 65535);

  const InputFrame bare = decode(
      "{\"type\":\"spawn\",\"shellPath\":\"sh\",\"rows\":null,\"cols\":null,\"cwd\":null,"
      "\"env\":null}");
  const auto& minimal = std::get<InputFrame::Spawn>(bare.frame);
  EXPECT_EQ(minimal.shell_path, "sh");
  EXPECT_TRUE(minimal.shell_args.empty());
  EXPECT_FALSE(minimal.cwd || minimal.env || minimal.rows || minimal.cols);

  const InputFrame array = decode("[\"spawn\",\"sh\",[\"a\"],\"/\",{\"K\":\"V\"},24,null]");
  const auto& from_array = std::get<InputFrame::Spawn>(array.frame);
  EXPECT_EQ(from_array.shell_args, std::vector<std::string>{"a"});
  EXPECT_EQ(from_array.cwd, "/");
  EXPECT_EQ(from_array.env, (Env{{"K", "V"}}));
  EXPECT_EQ(from_array.rows, 24);
  EXPECT_EQ(from_array.cols, std::nullopt);

  for (const char* line :
       {"{\"type\":\"input\",\"data\":\"aGk=\",\"rows\":\"x\"}", "[\"input\",\"aGk=\"]"}) {
    const InputFrame input = decode(line);
    EXPECT_EQ(std::get<InputFrame::Input>(input.frame).data, "aGk=");
  }
  for (const char* line : {"{\"cols\":80,\"rows\":24,\"type\":\"resize\"}", "[\"resize\",24,80]",
                           "{\"type\":\"resize\",\"rows\":24,\"cols\":80,\"data\":null}"}) {
    const InputFrame resize = decode(line);
    EXPECT_EQ(std::get<InputFrame::Resize>(resize.frame).rows, 24) << line;
    EXPECT_EQ(std::get<InputFrame::Resize>(resize.frame).cols, 80) << line;
  }
}

/// A decoded frame on one line, so that tables can compare whole frames.
std::string summary(const InputFrame& frame) {
  const auto number = [](std::optional<std::uint16_t> n) { return n ? std::to_string(*n) : "-"; };
  if (const auto* spawn = std::get_if<InputFrame::Spawn>(&frame.frame)) {
    std::string out = "spawn " + spawn->shell_path + " [";
    for (const std::string& arg : spawn->shell_args) out += arg + ";";
    out += "] cwd=" + spawn->cwd.value_or("-") + " env=";
    std::vector<std::string> entries;
    for (const auto& [name, value] : spawn->env.value_or(Env{})) {
      entries.push_back(name + "=" + value.value_or("(removed)") + ";");
    }
    std::sort(entries.begin(), entries.end());
    for (const std::string& entry : entries) out += entry;
    return out + " rows=" + number(spawn->rows) + " cols=" + number(spawn->cols);
  }
  if (const auto* input = std::get_if<InputFrame::Input>(&frame.frame)) return "input " + input->data;
  if (const auto* resize = std::get_if<InputFrame::Resize>(&frame.frame)) {
    return "resize " + number(resize->rows) + " " + number(resize->cols);
  }
  return "kill";
}

// Unknown members, among them keys of other frame types and near misses, are skipped wherever
// they stand: a decoder that stopped at the first one would lose every known member after it.
TEST(ParseInputFrame, SkipsUnknownMembersBeforeBetweenAndAfterTheKnownOnes) {
  struct Case {
    std::string line;
    std::string frame;
  };
  const std::string spawn = "spawn sh [-l;] cwd=/ env=A=1; rows=24 cols=80";
  const Case cases[] = {
      {R"({"Rows":1,"type":"spawn","shellPath":"sh","shellArgs":["-l"],"cwd":"/","env":{"A":"1"},)"
       R"("rows":24,"cols":80})",
       spawn},
      {R"({"type":"spawn","data":"x","shellPath":"sh","x":[],"shellArgs":["-l"],"y":{},"cwd":"/",)"
       R"("z":null,"env":{"A":"1"},"shell_path":"no","rows":24,"w":1.5,"cols":80})",
       spawn},
      {R"({"shellPath":"sh","shellArgs":["-l"],"cwd":"/","env":{"A":"1"},"rows":24,"cols":80,)"
       R"("type":"spawn","shellpath":"no"})",
       spawn},
      {R"({"rows":1,"type":"input","data":"aGk="})", "input aGk="},
      {R"({"type":"input","Data":"x","data":"aGk="})", "input aGk="},
      {R"({"data":"aGk=","type":"input","cols":2})", "input aGk="},
      {R"({"data":"x","type":"resize","rows":24,"cols":80})", "resize 24 80"},
      {R"({"type":"resize","rows":24,"shellPath":"sh","cols":80})", "resize 24 80"},
      {R"({"cols":80,"rows":24,"type":"resize","x":[1]})", "resize 24 80"},
      {R"({"data":"x","type":"kill"})", "kill"},
      {R"({"type":"kill","rows":1})", "kill"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(summary(decode(c.line)), c.frame) << c.line;
  }
}

TEST(ParseInputFrame, ResolvesEscapesInTexts) {
  const InputFrame frame = decode(
      "{\"type\":\"spawn\",\"shellPath\":\"a\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0000\\u00e9\\uD83D\\uDE00"
      "\xE6\x97\xA5\"}");
  EXPECT_EQ(std::get<InputFrame::Spawn>(frame.frame).shell_path,
            std::string("a\"\\/\b\f\n\r\t", 9) + std::string(1, '\0') +
                "\xC3\xA9\xF0\x9F\x98\x80\xE6\x97\xA5");
}

}  // namespace
}  // namespace qlp
