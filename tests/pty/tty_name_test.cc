#include "pty/tty_name.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "pty/pty_system.h"
#include "pty/unix_pty.h"
#include "terminal_test_support.h"

namespace qlp {
namespace {

// Lookups that record the buffer sizes they were offered.
std::vector<std::size_t> offered;
std::size_t fits_at = 0;
const char* answer = "";

int always_too_small(int, char*, std::size_t length) {
  offered.push_back(length);
  return ERANGE;
}

int fits_from_size(int, char* buffer, std::size_t length) {
  offered.push_back(length);
  // Every offered buffer must arrive zero-filled, the grown part included.
  for (std::size_t i = 0; i < length; ++i) {
    if (buffer[i] != '\0') return EFAULT;
  }
  if (length < fits_at) return ERANGE;
  std::memcpy(buffer, answer, std::strlen(answer));
  return 0;
}

int not_a_terminal(int, char*, std::size_t length) {
  offered.push_back(length);
  return ENOTTY;
}

TEST(TerminalNameTest, GrowsTheBufferOnErangeUpToItsBound) {
  struct Row {
    const char* what;
    TtyNameFunction lookup;
    std::size_t fits_at;
    const char* answer;
    std::vector<std::size_t> sizes;
    std::optional<std::string> name;
  };
  const std::vector<std::size_t> every_size = {128,  256,   512,   1024,  2048,  4096,
                                               8192, 16384, 32768, 65536, 131072};
  const Row rows[] = {
      {"always ERANGE", always_too_small, 0, "", every_size, std::nullopt},
      {"fits at once", fits_from_size, 0, "/dev/pts/7", {128}, "/dev/pts/7"},
      {"fits after growing", fits_from_size, 300, "/dev/long", {128, 256, 512}, "/dev/long"},
      {"fits in the last size", fits_from_size, 131072, "/dev/x", every_size, "/dev/x"},
      {"empty name", fits_from_size, 0, "", {128}, ""},
      {"other error", not_a_terminal, 0, "", {128}, std::nullopt},
  };
  for (const Row& row : rows) {
    offered.clear();
    fits_at = row.fits_at;
    answer = row.answer;
    EXPECT_EQ(terminal_name(5, row.lookup), row.name) << row.what;
    EXPECT_EQ(offered, row.sizes) << row.what;
  }
}

TEST(TerminalNameTest, OpenedPairKnowsItsSlaveName) {
  QLP_SKIP_WITHOUT_TERMINALS();
  auto pair = native_pty_system()->openpty(PtySize{});
  ASSERT_TRUE(pair) << pair.error().message();
  int slave = pair->slave->downcast<UnixSlavePty>()->fd().as_raw_fd();
  ASSERT_NE(ttyname(slave), nullptr);
  EXPECT_EQ(pair->master->tty_name(), std::string(ttyname(slave)));
}

}  // namespace
}  // namespace qlp
