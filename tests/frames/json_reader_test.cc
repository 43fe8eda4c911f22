#include "frames/json_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "support/exact_bytes.h"
#include "text/utf8.h"

namespace qlp {
namespace {

using test::ExactBytes;

std::string message_of(std::string_view text) {
  Result<JsonValue> value = parse_json(ExactBytes(text));
  return value.has_value() ? "(accepted)" : value.error().message();
}

JsonValue accepted(std::string_view text) {
  Result<JsonValue> value = parse_json(ExactBytes(text));
  EXPECT_TRUE(value.has_value()) << text << ": " << value.error().message();
  return value.has_value() ? std::move(value).value() : JsonValue{};
}

TEST(ParseJson, ClassifiesIntegersThatFit64Bits) {
  struct Case {
    const char* text;
    std::variant<std::uint64_t, std::int64_t> value;
  };
  for (const Case& c : {
           Case{"0", std::uint64_t{0}},
           Case{"7", std::uint64_t{7}},
           Case{"18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
           Case{"-1", std::int64_t{-1}},
           Case{"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
       }) {
    const JsonValue value = accepted(c.text);
    if (const auto* u = std::get_if<std::uint64_t>(&c.value)) {
      EXPECT_EQ(std::get<std::uint64_t>(value.data), *u) << c.text;
    } else {
      EXPECT_EQ(std::get<std::int64_t>(value.data), std::get<std::int64_t>(c.value)) << c.text;
    }
  }
}

TEST(ParseJson, ReadsEverythingElseAsDouble) {
  struct Case {
    std::string text;
    double value;
  };
  for (const Case& c : {
           Case{"-0", -0.0},
           Case{"0.0", 0.0},
           Case{"-0.0e5", -0.0},
           Case{"18446744073709551616", 18446744073709551616.0},
           Case{"-9223372036854775809", -9223372036854775808.0},
           Case{"123456789012345678901234567890", 1.2345678901234568e29},
           Case{"1E2", 100.0},
           Case{"1e+2", 100.0},
           Case{"25e-1", 2.5},
           Case{"0.1", 0.1},
           Case{"1.7976931348623157e308", 1.7976931348623157e308},
           Case{"5e-324", 5e-324},
           // Too small to represent reads as zero, keeping the sign.
           Case{"1e-400", 0.0},
           Case{"-1e-400", -0.0},
           Case{"1e-99999999999999999999999", 0.0},
           Case{"0e99999999999999999999", 0.0},
           Case{"0." + std::string(400, '0') + "1", 0.0},
           Case{"-0." + std::string(10, '0') + "1e-400", -0.0},
       }) {
    const JsonValue value = accepted(c.text);
    ASSERT_TRUE(std::holds_alternative<double>(value.data)) << c.text;
    const double read = std::get<double>(value.data);
    EXPECT_EQ(read, c.value) << c.text;
    EXPECT_EQ(std::signbit(read), std::signbit(c.value)) << c.text;
  }
}

TEST(ParseJson, RejectsNumbersBeyondDoubleRange) {
  for (const std::string& text :
       {std::string("1e309"), std::string("-1e309"), std::string("1.7976931348623159e308"),
        std::string("1e99999999999999999999"), "1" + std::string(400, '0'),
        "0.0" + std::string(400, '1') + "e400"}) {
    EXPECT_EQ(message_of(text),
              "number out of range at line 1 column " + std::to_string(text.size()));
  }
}

TEST(ShortestFloatText, PositionalBetweenExponentsMinus5And16) {
  struct Case {
    double value;
    const char* text;
  };
  for (const Case& c : {
           Case{24.0, "24.0"},
           Case{-2.5, "-2.5"},
           Case{0.0, "0.0"},
           Case{-0.0, "-0.0"},
           Case{0.1, "0.1"},
           Case{0.1 + 0.2, "0.30000000000000004"},
           Case{123.456, "123.456"},
           Case{9007199254740993.0, "9007199254740992.0"},
           Case{1e16, "10000000000000000.0"},
           Case{12345678901234567.0, "12345678901234568.0"},
           Case{1e-5, "0.00001"},
           Case{1.25e-5, "0.0000125"},
           Case{1e17, "1e+17"},
           Case{1.5e17, "1.5e+17"},
           Case{18446744073709551616.0, "1.8446744073709552e+19"},
           Case{1e300, "1e+300"},
           Case{-1e300, "-1e+300"},
           Case{1.7976931348623157e308, "1.7976931348623157e+308"},
           Case{1e-6, "1e-6"},
           Case{1.5e-7, "1.5e-7"},
           Case{5e-324, "5e-324"},
           Case{2.2250738585072014e-308, "2.2250738585072014e-308"},
       }) {
    EXPECT_EQ(shortest_float_text(c.value), c.text);
  }
}

TEST(DescribeJsonValue, NamesEachKind) {
  struct Case {
    const char* text;
    const char* description;
  };
  for (const Case& c : {
           Case{"null", "null"},
           Case{"true", "boolean `true`"},
           Case{"false", "boolean `false`"},
           Case{"42", "integer `42`"},
           Case{"-42", "integer `-42`"},
           Case{"24.0", "floating point `24.0`"},
           Case{"-0", "floating point `-0.0`"},
           Case{"\"hi\"", "string \"hi\""},
           Case{"[1]", "sequence"},
           Case{"{}", "map"},
       }) {
    Result<JsonValue> value = parse_json(ExactBytes(c.text));
    EXPECT_EQ(value.has_value() ? describe_json_value(*value) : "(rejected)", c.description);
  }
}

TEST(QuotedFormTest, EscapesWhatIsNotPrintableInJsonStrings) {
  struct Case {
    std::string text;
    std::string quoted;
  };
  for (const Case& c : {
           Case{"plain text", "\"plain text\""},
           Case{"a\"b\\c'", "\"a\\\"b\\\\c'\""},
           Case{"\t\n\r", "\"\\t\\n\\r\""},
           Case{std::string(1, '\0'), "\"\\0\""},
           Case{"\b\f\x1b\x7f", "\"\\u{8}\\u{c}\\u{1b}\\u{7f}\""},
           // U+00A0 (Zs), U+00AD (Cf), U+200B (Cf), U+2028 (Zl), U+2029 (Zp).
           Case{"\xC2\xA0\xC2\xAD\xE2\x80\x8B\xE2\x80\xA8\xE2\x80\xA9",
                "\"\\u{a0}\\u{ad}\\u{200b}\\u{2028}\\u{2029}\""},
           // U+E000 (Co), U+0378 (Cn), U+10FFFF (Cn).
           Case{"\xEE\x80\x80\xCD\xB8\xF4\x8F\xBF\xBF", "\"\\u{e000}\\u{378}\\u{10ffff}\""},
           // Printable beyond ASCII, a combining mark (U+0301) among them.
           Case{"\xC3\xA9 e\xCC\x81 \xE6\x97\xA5 \xF0\x9F\x98\x80",
                "\"\xC3\xA9 e\xCC\x81 \xE6\x97\xA5 \xF0\x9F\x98\x80\""},
           Case{"\xCC\x81", "\"\xCC\x81\""},
       }) {
    EXPECT_EQ(quoted_form(c.text), c.quoted);
  }
}

TEST(ParseJson, ReportsLineAndColumnAcrossLines) {
  EXPECT_EQ(message_of("[1,\n  2,\n  x]"), "expected value at line 3 column 3");
  EXPECT_EQ(message_of("[1,\n  2\n"), "EOF while parsing a list at line 3 column 0");
  EXPECT_EQ(message_of("{\"a\":\n1}\n\n x"), "trailing characters at line 4 column 2");
  // A raw line feed in a string is placed after itself, at the next line's start.
  EXPECT_EQ(message_of("\"a\nb\""),
            "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0");
}

TEST(ParseJson, AcceptsAnyTopLevelValueAndNothingAfterIt) {
  for (const char* text : {"null", " true ", "\t\r\n1\n", "\"\"", "[]", "{}", "[[],{}]"}) {
    accepted(text);
  }
  // A text may end right after a number's "0": the byte beyond is not the reader's to look at.
  EXPECT_EQ(std::get<std::uint64_t>(accepted(std::string_view("01").substr(0, 1)).data), 0u);
  EXPECT_EQ(message_of("1 2"), "trailing characters at line 1 column 3");
  EXPECT_EQ(message_of("[]]"), "trailing characters at line 1 column 3");
  EXPECT_EQ(message_of("{\"a\":1,}"), "trailing comma at line 1 column 8");
  EXPECT_EQ(message_of("[1,]"), "trailing comma at line 1 column 4");
  EXPECT_EQ(message_of("[,1]"), "expected value at line 1 column 2");
  EXPECT_EQ(message_of("{,}"), "key must be a string at line 1 column 2");
  EXPECT_EQ(message_of("nulx"), "expected ident at line 1 column 4");
  EXPECT_EQ(message_of("\xEF\xBB\xBF{}"), "expected value at line 1 column 1");
}

TEST(ParseJson, KeepsMembersInOrderWithRepeats) {
  const JsonValue value = accepted("{\"b\":1,\"a\":2,\"b\":3}");
  const auto& members = std::get<JsonValue::Object>(value.data);
  ASSERT_EQ(members.size(), 3u);
  EXPECT_EQ(members[0].key, "b");
  EXPECT_EQ(members[1].key, "a");
  EXPECT_EQ(members[2].key, "b");
  EXPECT_EQ(std::get<std::uint64_t>(members[2].value.data), 3u);
}

TEST(ParseJson, LimitsNestingTo127Levels) {
  const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  accepted(nested(127));
  EXPECT_EQ(message_of(nested(128)), "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(message_of(std::string(100000, '[')), "recursion limit exceeded at line 1 column 128");
}

TEST(ParseJson, ResolvesUnicodeEscapes) {
  // The ends of both surrogate ranges pair up; the values just outside them are characters.
  EXPECT_EQ(std::get<std::string>(
                accepted("\"\\uD800\\uDC00\\uD83D\\uDE00\\udbff\\udfff\\uD7FF\\uE000\"").data),
            "\xF0\x90\x80\x80\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\xED\x9F\xBF\xEE\x80\x80");
  // Both ends of each hex digit range, then the byte just outside each end.
  EXPECT_EQ(std::get<std::string>(accepted("\"\\u09af\\u09AF\"").data), "\xE0\xA6\xAF\xE0\xA6\xAF");
  for (char outside : {'/', ':', '`', 'g', '@', 'G'}) {
    EXPECT_EQ(message_of("\"\\u" + std::string(1, outside) + "000\""),
              "invalid escape at line 1 column 4")
        << outside;
  }
  // Each edge between the one-, two- and three-byte forms.
  EXPECT_EQ(std::get<std::string>(
                accepted("\"\\u0041\\u007f\\u0080\\u00e9\\u07FF\\u0800\\uFFFF\"").data),
            "A\x7F\xC2\x80\xC3\xA9\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
  EXPECT_EQ(message_of("\"\\uD800x\""), "unexpected end of hex escape at line 1 column 8");
  EXPECT_EQ(message_of("\"\\uD800\\x\""), "unexpected end of hex escape at line 1 column 9");
  EXPECT_EQ(message_of("\"\\uD800\\uD800\""),
            "lone leading surrogate in hex escape at line 1 column 13");
  EXPECT_EQ(message_of("\"\\uDFFF\""), "lone leading surrogate in hex escape at line 1 column 7");
  EXPECT_EQ(message_of("\"\\uD800\\uDC0g\""), "invalid escape at line 1 column 13");
}

TEST(ParseJson, RejectsMalformedUtf8InStrings) {
  struct Case {
    std::string text;
    std::string message;
  };
  for (const Case& c : {
           Case{"\"\xC3\"", "invalid unicode code point at line 1 column 2"},
           Case{"\"a\xC0\xAF\"", "invalid unicode code point at line 1 column 3"},
           Case{"\"\xE0\x80\xAF\"", "invalid unicode code point at line 1 column 2"},
           Case{"\"\xED\xA0\x80\"", "invalid unicode code point at line 1 column 2"},
           Case{"\"\xF0\x8F\xBF\xBF\"", "invalid unicode code point at line 1 column 2"},
           Case{"\"\xF4\x90\x80\x80\"", "invalid unicode code point at line 1 column 2"},
           Case{"\"\xF5\x80\x80\x80\"", "invalid unicode code point at line 1 column 2"},
           Case{"\"\x80\"", "invalid unicode code point at line 1 column 2"},
           Case{"\"\xE6\x97", "invalid unicode code point at line 1 column 2"},
           Case{"\"\xE6\x97\xA5\xF4\x8F\xBF\xBF\xED\x9F\xBF\"", "(accepted)"},
       }) {
    EXPECT_EQ(message_of(c.text), c.message);
  }
}

// Plain runs are scanned eight bytes at a time; place every kind of stop at
// every offset around a word boundary.
TEST(ParseJson, FindsEveryStopInsidePlainRuns) {
  for (std::size_t before = 0; before < 20; ++before) {
    SCOPED_TRACE(before);
    const std::string head = "\"" + std::string(before, 'a');
    const std::string tail(11, 'b');
    EXPECT_EQ(std::get<std::string>(accepted(head + "\\n" + tail + "\"").data),
              std::string(before, 'a') + "\n" + tail);
    EXPECT_EQ(std::get<std::string>(accepted(head + "\xC3\xA9" + tail + "\"").data),
              std::string(before, 'a') + "\xC3\xA9" + tail);
    EXPECT_EQ(std::get<std::string>(accepted(head + "\x7F !~" + tail + "\"").data),
              std::string(before, 'a') + "\x7F !~" + tail);
    EXPECT_EQ(std::get<std::string>(accepted(head + "\"").data), std::string(before, 'a'));
    EXPECT_EQ(message_of(head + "\x1F" + tail + "\""),
              "control character (\\u0000-\\u001F) found while parsing a string at line 1 column " +
                  std::to_string(before + 2));
    EXPECT_EQ(message_of(head + std::string(1, '\0') + tail + "\""),
              "control character (\\u0000-\\u001F) found while parsing a string at line 1 column " +
                  std::to_string(before + 2));
    EXPECT_EQ(message_of(head + "\xFF" + tail + "\""),
              "invalid unicode code point at line 1 column " + std::to_string(before + 2));
    EXPECT_EQ(message_of(head),
              "EOF while parsing a string at line 1 column " + std::to_string(before + 1));
  }
}

}  // namespace
}  // namespace qlp
