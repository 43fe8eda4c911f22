#include "text/utf8.h"
#include "text/unicode_tables.h"

#include <gtest/gtest.h>

#include <string>

#include "support/exact_bytes.h"

namespace qlp {
namespace {

using test::ExactBytes;

TEST(Utf8Test, ValidationNamesTheFirstInvalidSequence) {
  struct Row {
    std::string bytes;
    std::string error;  // empty: valid
  };
  const Row rows[] = {
      {"", ""},
      {"plain ascii", ""},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", ""},
      {std::string("nul\0inside", 10), ""},
      {"\xFF", "invalid utf-8 byte sequence of 1 byte at offset 0"},
      {"ab\x80", "invalid utf-8 byte sequence of 1 byte at offset 2"},
      {"ok\xE2\x82", "invalid utf-8 byte sequence of 2 bytes at offset 2"},
      {"\xE2\x82x", "invalid utf-8 byte sequence of 2 bytes at offset 0"},
      {"\xF0\x9F\x98", "invalid utf-8 byte sequence of 3 bytes at offset 0"},
      // Overlong forms, surrogates and code points past U+10FFFF.
      {"\xC0\xAF", "invalid utf-8 byte sequence of 1 byte at offset 0"},
      {"\xE0\x80\xAF", "invalid utf-8 byte sequence of 1 byte at offset 0"},
      {"\xED\xA0\x80", "invalid utf-8 byte sequence of 1 byte at offset 0"},
      {"\xF4\x90\x80\x80", "invalid utf-8 byte sequence of 1 byte at offset 0"},
      {"\xF5\x80\x80\x80", "invalid utf-8 byte sequence of 1 byte at offset 0"},
      // Code points by encoded length: both ends of each range, then the values just outside.
      {"\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF", ""},
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", ""},
      {"\xC1\xBF", "invalid utf-8 byte sequence of 1 byte at offset 0"},
      {"\xE0\x9F\xBF", "invalid utf-8 byte sequence of 1 byte at offset 0"},
      {"\xF0\x8F\xBF\xBF", "invalid utf-8 byte sequence of 1 byte at offset 0"},
      // Continuation bytes run from 0x80 to 0xBF.
      {"\xC2\x7F", "invalid utf-8 byte sequence of 1 byte at offset 0"},
      {"\xDF\xC0", "invalid utf-8 byte sequence of 1 byte at offset 0"},
      {"\xE1\x80\x7F", "invalid utf-8 byte sequence of 2 bytes at offset 0"},
      {"\xF1\x80\x80\xC0", "invalid utf-8 byte sequence of 3 bytes at offset 0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bytes);
    Result<void> result = validate_utf8(ExactBytes(row.bytes));
    EXPECT_EQ(is_valid_utf8(ExactBytes(row.bytes)), row.error.empty());
    if (row.error.empty()) {
      EXPECT_TRUE(result.has_value());
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().message(), row.error);
    }
  }
}

TEST(Utf8Test, LossyDisplayReplacesEachInvalidSequenceOnce) {
  struct Row {
    std::string bytes;
    std::string shown;
  };
  const Row rows[] = {
      {"/usr/bin", "/usr/bin"},
      {"/opt/\xC3\xA9t\xC3\xA9", "/opt/\xC3\xA9t\xC3\xA9"},
      {"/a\xFFz", "/a\xEF\xBF\xBDz"},
      // A truncated sequence is one replacement, and what follows starts afresh.
      {"\xE2\x82\xE2\x82\xAC", "\xEF\xBF\xBD\xE2\x82\xAC"},
      {"x\xF0\x9F\x98", "x\xEF\xBF\xBD"},
      // Bytes that can never start or continue a valid sequence count one each.
      {"\xF0\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(to_utf8_lossy(ExactBytes(row.bytes)), row.shown) << row.bytes;
  }
}

TEST(Utf8Test, QuotedFormEscapesWhatIsNotShownAsItself) {
  struct Row {
    std::string bytes;
    std::string quoted;
  };
  const Row rows[] = {
      {"", R"("")"},
      {"/usr/bin:/bin", R"("/usr/bin:/bin")"},
      {"say \"hi\" \\ 'there'", R"("say \"hi\" \\ 'there'")"},
      {std::string("a\nb\tc\rd\0e", 9), R"("a\nb\tc\rd\0e")"},
      {"\x01\x1B\x7F", R"("\u{1}\u{1b}\u{7f}")"},
      // C1 control, no-break space, soft hyphen, zero-width space, line separator,
      // byte-order mark, private use, unassigned.
      {"\xC2\x85\xC2\xA0\xC2\xAD", R"("\u{85}\u{a0}\u{ad}")"},
      {"\xE2\x80\x8B\xE2\x80\xA8\xEF\xBB\xBF", R"("\u{200b}\u{2028}\u{feff}")"},
      {"\xEE\x80\x80\xF3\xB0\x80\x80\xCD\xB8", R"("\u{e000}\u{f0000}\u{378}")"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xE4\xB8\xAD",
       "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xE4\xB8\xAD\""},
      {"/bin:\xFF\xFE", R"("/bin:\xFF\xFE")"},
      {"\xE2\x82:", R"("\xE2\x82:")"},
      {"\xC3", R"("\xC3")"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(quoted_form(ExactBytes(row.bytes)), row.quoted) << row.bytes;
  }
}

TEST(Utf8Test, NonPrintableTableBoundaries) {
  struct Row {
    char32_t code_point;
    bool non_printable;
  };
  const Row rows[] = {
      {0x0, true},      {0x1F, true},     {0x20, false},  {0x21, false},   {0x7E, false},
      {0x7F, true},     {0x9F, true},     {0xA0, true},   {0xA1, false},   {0xAC, false},
      {0xAD, true},     {0xAE, false},    {0x3000, true}, {0xFFFD, false}, {0xFFFE, true},
      {0x1F600, false}, {0x10FFFF, true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(!is_printable(row.code_point), row.non_printable)
        << std::hex << static_cast<unsigned>(row.code_point);
  }
}

}  // namespace
}  // namespace qlp
