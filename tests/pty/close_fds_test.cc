#include "pty/close_fds.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "terminal_test_support.h"

namespace qlp {
namespace {

using test::in_forked_process;

constexpr int kHighest = 900;

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

/// Opens many descriptors without close-on-exec (more than one batch of the
/// sweep, and one high above the rest), runs `sweep`, and describes every
/// descriptor above 2 that is open against expectation. Runs in a process of
/// its own, so the runner's descriptors are untouched.
std::string sweep_problems(void (*sweep)(int keep), bool keep_one) {
  return in_forked_process([sweep, keep_one] {
    struct rlimit limit = {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur <= kHighest) {
      return std::string("descriptor limit too low for the test");
    }
    for (int i = 0; i < 300; ++i) {
      if (dup(1) == -1) return std::string("dup failed");
    }
    if (dup2(1, kHighest) == -1) return std::string("dup2 failed");
    int keep = keep_one ? dup(1) : -1;
    sweep(keep);
    std::string problems;
    for (int fd = 3; fd <= kHighest; ++fd) {
      bool expected_open = fd == keep;
      if (is_open(fd) != expected_open) problems += std::to_string(fd) + " ";
    }
    for (int fd = 0; fd < 3; ++fd) {
      if (!is_open(fd)) problems += "standard " + std::to_string(fd) + " closed ";
    }
    return problems;
  });
}

TEST(CloseRandomFdsTest, ClosesEverythingAboveStderrButTheKeptDescriptor) {
  struct Row {
    const char* what;
    void (*sweep)(int keep);
    bool keep_one;
  };
  const Row rows[] = {
      {"listing /dev/fd", [](int keep) { close_random_fds(keep); }, true},
      {"listing /dev/fd, nothing kept", [](int keep) { close_random_fds(keep); }, false},
      // A directory that cannot be listed must not leave everything open.
      {"unlistable directory",
       [](int keep) { close_fds_listed_in("/nonexistent/qlp-fd-dir", keep); }, true},
      {"unlistable directory, nothing kept",
       [](int keep) { close_fds_listed_in("/nonexistent/qlp-fd-dir", keep); }, false},
  };
  for (const Row& row : rows) EXPECT_EQ(sweep_problems(row.sweep, row.keep_one), "") << row.what;
}

TEST(CloseRandomFdsTest, TheOneByOneSweepStopsAtTheLimitOrAtOneMebi) {
  EXPECT_EQ(descriptor_sweep_bound(256), 256);
  EXPECT_EQ(descriptor_sweep_bound(std::uint64_t{1} << 30), 1 << 20);
  EXPECT_EQ(descriptor_sweep_bound(RLIM_INFINITY), 1 << 20);
}

TEST(CloseRandomFdsTest, OnlyDecimalNamesCountAsDescriptors) {
  EXPECT_EQ(in_forked_process([] {
              char dir_template[] = "/tmp/qlp-fds-XXXXXX";
              if (mkdtemp(dir_template) == nullptr) return std::string("mkdtemp failed");
              std::string dir = dir_template;
              // The listing names +40, 0041, -42 and 99999999999 (beyond 32 bits), x43, 44x
              // and the empty-digits "+": only 40 and 41 are descriptors above 2.
              const char* names[] = {"+40", "0041", "-42", "99999999999", "x43", "44x", "+"};
              for (const char* name : names) std::ofstream(dir + "/" + name) << "";
              for (int fd : {40, 41, 42, 43, 44}) {
                if (dup2(1, fd) == -1) return std::string("dup2 failed");
              }
              close_fds_listed_in(dir.c_str(), -1);
              std::string open;
              for (int fd : {40, 41, 42, 43, 44}) {
                if (is_open(fd)) open += std::to_string(fd) + " ";
              }
              for (const char* name : names) unlink((dir + "/" + name).c_str());
              rmdir(dir.c_str());
              return open == "42 43 44 " ? std::string() : "open afterwards: " + open;
            }),
            "");
}

// The sweep skips 0 to 2 and negative numbers anyway, so a name wrongly read as one of those
// would pass the sweep's tests unseen: the parser is pinned name by name.
TEST(ParseDescriptorNameTest, DecimalWithinSigned32BitsOrNothing) {
  constexpr int kUntouched = -7;
  struct Row {
    const char* name;
    int fd;  ///< kUntouched: refused.
  };
  const Row rows[] = {
      {"0", 0},
      {"7", 7},
      {"0041", 41},
      {"+40", 40},
      {"-42", -42},
      {"-0", 0},
      {"2147483647", 2147483647},
      {"+2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"2147483648", kUntouched},
      {"-2147483649", kUntouched},
      {"99999999999999999999999", kUntouched},
      {"", kUntouched},
      {"+", kUntouched},
      {"-", kUntouched},
      {"+-1", kUntouched},
      {"--1", kUntouched},
      {".", kUntouched},
      {"..", kUntouched},
      {" 1", kUntouched},
      {"1 ", kUntouched},
      {"x43", kUntouched},
      {"44x", kUntouched},
      {"\xD9\xA3", kUntouched},  // ARABIC-INDIC DIGIT THREE
  };
  for (const Row& row : rows) {
    int fd = kUntouched;
    const bool parsed = parse_descriptor_name(row.name, &fd);
    EXPECT_EQ(parsed, row.fd != kUntouched) << '"' << row.name << '"';
    EXPECT_EQ(fd, row.fd) << '"' << row.name << '"';
  }
}

}  // namespace
}  // namespace qlp
