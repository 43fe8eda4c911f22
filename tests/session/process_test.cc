#include "session/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "pty/terminal_test_support.h"

namespace qlp {
namespace {

TEST(ProcessStartTest, ClosedStandardDescriptorsAreOpenedOnDevNull) {
  const std::vector<std::vector<int>> closed_sets = {{0}, {1}, {2}, {0, 2}};
  for (const std::vector<int>& closed : closed_sets) {
    const std::string problems = test::in_forked_process([&closed] {
      for (int fd : closed) ::close(fd);
      prepare_process();
      struct stat null {};
      if (::stat("/dev/null", &null) != 0) return std::string("no /dev/null");
      std::string found;
      for (int fd : closed) {
        struct stat got {};
        if (::fstat(fd, &got) != 0 || got.st_rdev != null.st_rdev || !S_ISCHR(got.st_mode)) {
          found += std::to_string(fd) + " is not /dev/null; ";
        }
      }
      return found;
    });
    EXPECT_EQ(problems, "") << "closed: " << closed.front() << " of " << closed.size();
  }
}

}  // namespace
}  // namespace qlp
