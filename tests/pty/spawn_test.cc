#include "pty/spawn.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "pty/unix_child.h"
#include "pty/unix_pty.h"
#include "terminal_test_support.h"

namespace qlp {
namespace {

class SpawnProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QLP_SKIP_WITHOUT_TERMINALS();
    auto opened = native_pty_system()->openpty(PtySize{});
    ASSERT_TRUE(opened) << opened.error().message();
    pair_ = std::move(opened).value();
  }

  /// The probe's report when started with `pre_exec`.
  std::map<std::string, std::string> report_with(const PreExec& pre_exec) {
    const FileDescriptor& slave = pair_.slave->downcast<UnixSlavePty>()->fd().fd();
    Command command(test::helper_path("pty_probe"));
    command.cwd("/");
    auto reader = pair_.master->try_clone_reader();
    EXPECT_TRUE(reader);
    auto pid =
        spawn_process(command, *slave.as_stdio(), *slave.as_stdio(), *slave.as_stdio(), pre_exec);
    EXPECT_TRUE(pid) << pid.error().message();
    if (!pid || !reader) return {};
    auto report = test::parse_report(test::read_until(**reader, "end\n"));
    EXPECT_EQ(*UnixChild(*pid).wait(), (ExitStatus{0, std::nullopt}));
    return report;
  }

  PtyPair pair_;
};

TEST_F(SpawnProcessTest, FileModeMaskIsSetOnlyWhenGiven) {
  mode_t own = umask(022);
  umask(own);
  char own_text[8];
  snprintf(own_text, sizeof own_text, "%04o", static_cast<unsigned>(own));
  struct Row {
    std::optional<std::uint16_t> mask;
    std::string expected;
  };
  const Row rows[] = {{0027, "0027"}, {0, "0000"}, {std::nullopt, own_text}};
  for (const Row& row : rows) {
    EXPECT_EQ(report_with(PreExec{row.mask, true})["umask"], row.expected);
  }
}

TEST_F(SpawnProcessTest, WithoutControllingTerminalTheSessionHasNone) {
  auto report = report_with(PreExec{std::nullopt, false});
  EXPECT_EQ(report["session-leader"], "yes");
  EXPECT_EQ(report["dev-tty"], strerror(ENXIO));
  EXPECT_EQ(report["cwd"], "/");
}

TEST_F(SpawnProcessTest, NulByteInTheWorkingDirectoryFailsBeforeTheFork) {
  using namespace std::string_literals;
  const FileDescriptor& slave = pair_.slave->downcast<UnixSlavePty>()->fd().fd();
  Command command(test::helper_path("pty_probe"));
  command.cwd("/tmp\0/x"s);
  auto pid =
      spawn_process(command, *slave.as_stdio(), *slave.as_stdio(), *slave.as_stdio(), PreExec{});
  ASSERT_FALSE(pid);
  EXPECT_EQ(pid.error().message(), "nul byte found in provided data");
  EXPECT_EQ(pid.error().os_code(), EINVAL);
}

}  // namespace
}  // namespace qlp
