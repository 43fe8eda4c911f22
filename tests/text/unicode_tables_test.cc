#include "text/unicode_tables.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace qlp {
namespace {

TEST(IsPrintable, FollowsTheGeneralCategory) {
  struct Case {
    char32_t c;
    bool printable;
  };
  for (const Case& c : {
           Case{0x20, true},       // Zs, the one space shown as it is
           Case{0x41, true},       // Lu
           Case{0x7E, true},       // Sm
           Case{0x00, false},      // Cc
           Case{0x1F, false},      // Cc
           Case{0x7F, false},      // Cc
           Case{0x9F, false},      // Cc
           Case{0xA0, false},      // Zs
           Case{0xA1, true},       // Po
           Case{0xAD, false},      // Cf
           Case{0x0301, true},     // Mn: combining marks are written as they are
           Case{0x0378, false},    // Cn
           Case{0x061C, false},    // Cf
           Case{0x1680, false},    // Zs
           Case{0x200B, false},    // Cf
           Case{0x200D, false},    // Cf
           Case{0x2028, false},    // Zl
           Case{0x2029, false},    // Zp
           Case{0x3000, false},    // Zs
           Case{0x4E00, true},     // Lo, inside a First/Last range of the database
           Case{0x9FFF, true},     // Lo, the last of that range
           Case{0xA000, true},     // Lo
           Case{0xD800, false},    // Cs
           Case{0xDFFF, false},    // Cs
           Case{0xE000, false},    // Co
           Case{0xFEFF, false},    // Cf
           Case{0xFFFD, true},     // So
           Case{0xFFFF, false},    // Cn
           Case{0x1F600, true},    // So
           Case{0xE0001, false},   // Cf
           Case{0xF0000, false},   // Co
           Case{0x10FFFF, false},  // Cn
           Case{0x110000, false},  // not a code point
       }) {
    EXPECT_EQ(is_printable(c.c), c.printable) << std::hex << static_cast<unsigned>(c.c);
  }
}

TEST(IsWhiteSpace, IsExactlyTheWhiteSpaceProperty) {
  const std::vector<char32_t> members = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,
                                         0x85,   0xA0,   0x1680, 0x2000, 0x2005, 0x200A,
                                         0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (char32_t c : members) EXPECT_TRUE(is_white_space(c)) << std::hex << static_cast<unsigned>(c);
  // Neighbours, and characters often mistaken for white space.
  for (char32_t c :
       {0x00,   0x08,   0x0E,   0x1F,   0x21,   0x84,   0x86,   0x9F,   0xA1,   0x167F,
        0x180E, 0x1FFF, 0x200B, 0x2027, 0x202A, 0x205E, 0x2060, 0x3001, 0xFEFF, 0x110000}) {
    EXPECT_FALSE(is_white_space(c)) << std::hex << static_cast<unsigned>(c);
  }
}

TEST(IsBlankLine, HoldsOnlyForWhiteSpace) {
  struct Case {
    std::string line;
    bool blank;
  };
  for (const Case& c : {
           Case{"", true},
           Case{" \t", true},
           Case{"\x0B\x0C\r", true},
           Case{"\xC2\x85\xC2\xA0\xE3\x80\x80\xE2\x80\xA8 \xE1\x9A\x80", true},
           Case{"x", false},
           Case{"   x", false},
           Case{" \xE2\x80\x8B", false},  // U+200B is not White_Space
           Case{"\xEF\xBB\xBF", false},   // nor is U+FEFF
           Case{"\xC3\xA9", false},
           Case{"\xF0\x9F\x98\x80", false},
           Case{std::string(1, '\0'), false},
       }) {
    EXPECT_EQ(is_blank_line(c.line), c.blank) << c.line;
  }
}

// The committed tables against the installed database, read independently of
// the generator. Only meaningful when both are the same Unicode version.
TEST(UnicodeTables, MatchTheInstalledDatabase) {
  const std::string dir = "/usr/share/unicode/";
  std::ifstream readme(dir + "ReadMe.txt");
  std::ifstream data(dir + "UnicodeData.txt");
  std::ifstream props(dir + "PropList.txt");
  if (!readme || !data || !props)
    GTEST_SKIP() << "the Unicode Character Database is not installed in " << dir;
  std::stringstream readme_text;
  readme_text << readme.rdbuf();
  std::smatch version;
  const std::string text = readme_text.str();
  ASSERT_TRUE(std::regex_search(text, version, std::regex("Version (\\d+\\.\\d+\\.\\d+) of the")));
  if (version[1].str() != unicode_tables_version()) {
    GTEST_SKIP() << "installed Unicode " << version[1] << ", tables made from "
                 << unicode_tables_version();
  }

  std::vector<std::string> category(0x110000, "Cn");
  std::string line;
  char32_t range_first = 0;
  while (std::getline(data, line)) {
    std::vector<std::string> fields;
    std::stringstream split(line);
    for (std::string field; std::getline(split, field, ';');) fields.push_back(field);
    const auto code = static_cast<char32_t>(std::stoul(fields[0], nullptr, 16));
    if (fields[1].ends_with(", First>")) {
      range_first = code;
      continue;
    }
    const char32_t first = fields[1].ends_with(", Last>") ? range_first : code;
    for (char32_t c = first; c <= code; ++c) category[c] = fields[2];
  }
  std::vector<bool> white_space(0x110000, false);
  while (std::getline(props, line)) {
    if (line.find("; White_Space") == std::string::npos) continue;
    const auto first = static_cast<char32_t>(std::stoul(line, nullptr, 16));
    const std::size_t dots = line.find("..");
    const char32_t last =
        dots < line.find(';')
            ? static_cast<char32_t>(std::stoul(line.substr(dots + 2), nullptr, 16))
            : first;
    for (char32_t c = first; c <= last; ++c) white_space[c] = true;
  }

  const std::string hidden = "Cc Cf Cs Co Cn Zl Zp";
  int mismatches = 0;
  for (char32_t c = 0; c < 0x110000 && mismatches < 10; ++c) {
    const bool printable =
        category[c] == "Zs" ? c == 0x20 : hidden.find(category[c]) == std::string::npos;
    if (is_printable(c) != printable || is_white_space(c) != white_space[c]) {
      ++mismatches;
      ADD_FAILURE() << "U+" << std::hex << static_cast<unsigned>(c) << " (" << category[c] << ")";
    }
  }
}

}  // namespace
}  // namespace qlp
