#include "base/errno_table.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace qlp {
namespace {

namespace fs = std::filesystem;

/// Every "#define E... <number or name>" of the system's errno headers, aliases resolved to
/// numbers: the kernel's lists and the C library's additions (glibc's ENOTSUP).
std::map<std::string, int> names_in_system_headers() {
  std::vector<fs::path> headers = {"/usr/include/asm-generic/errno-base.h",
                                   "/usr/include/asm-generic/errno.h", "/usr/include/bits/errno.h"};
  std::error_code ignored;
  for (const fs::directory_entry& entry : fs::directory_iterator("/usr/include", ignored)) {
    headers.push_back(entry.path() / "bits" / "errno.h");
  }
  std::map<std::string, std::string> defined;
  const std::regex define(R"(^\s*#\s*define\s+(E[A-Z0-9]+)\s+(\w+))");
  for (const fs::path& header : headers) {
    std::ifstream in(header);
    std::string line;
    std::smatch match;
    while (std::getline(in, line)) {
      if (std::regex_search(line, match, define)) defined.emplace(match[1], match[2]);
    }
  }
  std::map<std::string, int> numbers;
  for (const auto& [name, value] : defined) {
    std::string target = value;
    for (int hops = 0; hops < 4 && defined.count(target) != 0; ++hops) target = defined[target];
    if (!target.empty() && target.find_first_not_of("0123456789") == std::string::npos) {
      numbers[name] = std::stoi(target);
    }
  }
  return numbers;
}

// Against the system's own headers, not a copy of the list: every number they name has a name
// here, and the name shown is one the headers give that number.
TEST(ErrnoTableTest, EveryNameInTheSystemHeadersIsKnownByItsNumber) {
  const std::map<std::string, int> system = names_in_system_headers();
  if (system.size() < 100) GTEST_SKIP() << "no Linux errno headers to read";
  std::set<int> numbers;
  for (const auto& [name, number] : system) numbers.insert(number);
  for (int number : numbers) {
    const char* shown = errno_name(number);
    ASSERT_NE(shown, nullptr) << number;
    auto it = system.find(shown);
    ASSERT_NE(it, system.end()) << shown << " is no name of the system's headers";
    EXPECT_EQ(it->second, number) << shown;
  }
  EXPECT_EQ(errno_name(0), nullptr);
  EXPECT_EQ(errno_name(-1), nullptr);
  EXPECT_EQ(errno_name(99999), nullptr);
}

// Names that share a number show as the earlier one, and names of one number share a kind.
TEST(ErrnoTableTest, SharedNumbersShowTheFirstNameAndOneKind) {
  struct Row {
    int number;
    const char* name;
    const char* kind;
  };
  const Row rows[] = {
      {EAGAIN, "EAGAIN", "WouldBlock"},      {EWOULDBLOCK, "EAGAIN", "WouldBlock"},
      {EDEADLK, "EDEADLK", "Deadlock"},      {ENOTSUP, "ENOTSUP", "Unsupported"},
      {EOPNOTSUPP, nullptr, "Unsupported"},  {ENOENT, "ENOENT", "NotFound"},
      {EACCES, "EACCES", "PermissionDenied"}, {EMFILE, "EMFILE", "TooManyOpenFiles"},
      {EBADF, "EBADF", "Uncategorized"},     {ENAMETOOLONG, "ENAMETOOLONG", "InvalidFilename"},
      {ESTALE, "ESTALE", "StaleNetworkFileHandle"}, {99999, nullptr, "Uncategorized"},
  };
  for (const Row& row : rows) {
    if (row.name != nullptr) {
      EXPECT_STREQ(errno_name(row.number), row.name) << row.number;
    }
    EXPECT_STREQ(os_error_kind_name(row.number), row.kind) << row.number;
  }
}

}  // namespace
}  // namespace qlp
