#include "frames/output_frame.h"

#include <gtest/gtest.h>

#include <string>

namespace qlp {
namespace {

using namespace std::string_literals;

struct LineRow {
  OutputFrame frame;
  std::string line;
};

TEST(OutputFrameTest, EachFrameIsOneCompactLine) {
  const LineRow rows[] = {
      {{OutputFrame::Ready{}}, "{\"type\":\"ready\"}\n"},
      {{OutputFrame::Data{"SGk="}}, "{\"type\":\"data\",\"data\":\"SGk=\"}\n"},
      {{OutputFrame::Data{""}}, "{\"type\":\"data\",\"data\":\"\"}\n"},
      {{OutputFrame::Exit{0}}, "{\"type\":\"exit\",\"code\":0}\n"},
      {{OutputFrame::Exit{3}}, "{\"type\":\"exit\",\"code\":3}\n"},
      {{OutputFrame::Exit{4294967295u}}, "{\"type\":\"exit\",\"code\":4294967295}\n"},
      {{OutputFrame::Error{"boom"}}, "{\"type\":\"error\",\"message\":\"boom\"}\n"},
      {{OutputFrame::Error{""}}, "{\"type\":\"error\",\"message\":\"\"}\n"},
      {{OutputFrame::Error{"say \"hi\"\\\t\n\x1b/\xC3\xA9"}},
       "{\"type\":\"error\",\"message\":\"say \\\"hi\\\"\\\\\\t\\n\\u001b/\xC3\xA9\"}\n"},
  };
  for (const LineRow& row : rows) EXPECT_EQ(frame_line(row.frame), row.line);
  EXPECT_EQ(frame_line({OutputFrame::Ready{}}).size(), 17u);
}

TEST(OutputFrameTest, AppendFrameLineKeepsWhatIsInTheBuffer) {
  std::string out = "x";
  append_frame_line({OutputFrame::Exit{7}}, out);
  append_frame_line({OutputFrame::Ready{}}, out);
  EXPECT_EQ(out, "x{\"type\":\"exit\",\"code\":7}\n{\"type\":\"ready\"}\n");
}

struct EscapeRow {
  std::string text;
  std::string json;
};

TEST(OutputFrameTest, JsonStringsEscapeOnlyWhatJsonRequires) {
  const EscapeRow rows[] = {
      {"\x08", R"("\b")"},
      {"\t", R"("\t")"},
      {"\n", R"("\n")"},
      {"\x0C", R"("\f")"},
      {"\r", R"("\r")"},
      {"\x00"s, R"("\u0000")"},
      {"\x01", R"("\u0001")"},
      {"\x0B", R"("\u000b")"},
      {"\x10", R"("\u0010")"},
      {"\x1B", R"("\u001b")"},
      {"\x1F", R"("\u001f")"},
      {"\"", R"("\"")"},
      {"\\", R"("\\")"},
      {" ", R"(" ")"},
      {"/", R"("/")"},
      {"\x7F", "\"\x7F\""},
      {"\xC3\xA9", "\"\xC3\xA9\""},
      {"\xE2\x80\xA8", "\"\xE2\x80\xA8\""},
      {"", R"("")"},
      {"ab\ncd\x1B" "ef\"", R"("ab\ncd\u001bef\"")"},
  };
  for (const EscapeRow& row : rows) {
    std::string out = "k:";
    append_json_string(row.text, out);
    EXPECT_EQ(out, "k:" + row.json);
  }
}

}  // namespace
}  // namespace qlp
