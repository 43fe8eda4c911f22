#include "pty/unix_child.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "pty/unix_pty.h"
#include "terminal_test_support.h"

namespace qlp {
namespace {

using test::probe_command;

TEST(ExitStatusTest, RawWaitStatusConversion) {
  struct Row {
    int raw;
    ExitStatus expected;
  };
  const Row rows[] = {
      {0x0000, {0, std::nullopt}},
      {0x0300, {3, std::nullopt}},
      {0xFF00, {255, std::nullopt}},
      {SIGHUP, {1, std::string(strsignal(SIGHUP)), SIGHUP}},
      {SIGKILL | 0x80, {1, std::string(strsignal(SIGKILL)), SIGKILL}},  // with the core-dump bit
      {0x7F, {1, std::nullopt}},                               // stopped
      {(SIGSTOP << 8) | 0x7F, {1, std::nullopt}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(exit_status_from_wait_status(row.raw), row.expected) << std::hex << row.raw;
  }
}

class UnixChildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QLP_SKIP_WITHOUT_TERMINALS();
    auto opened = native_pty_system()->openpty(PtySize{});
    ASSERT_TRUE(opened) << opened.error().message();
    pair_ = std::move(opened).value();
    auto reader = pair_.master->try_clone_reader();
    ASSERT_TRUE(reader);
    reader_ = std::move(reader).value();
  }

  /// Starts the probe with `args` and waits until it says "ready" when `ready` is set.
  std::unique_ptr<Child> start(std::vector<std::string> args, bool ready) {
    auto child = pair_.slave->spawn_command(probe_command(args));
    EXPECT_TRUE(child) << child.error().message();
    if (!child) return nullptr;
    if (ready) {
      EXPECT_EQ(test::read_until(*reader_, "ready\n"), "ready\n");
    }
    return std::move(child).value();
  }

  PtyPair pair_;
  std::unique_ptr<ByteSource> reader_;
};

TEST_F(UnixChildTest, ExitCodeAndCachedStatus) {
  auto child = start({"exit", "3"}, false);
  ASSERT_TRUE(child);
  auto status = child->wait();
  ASSERT_TRUE(status) << status.error().message();
  const ExitStatus expected{3, std::nullopt};
  EXPECT_EQ(*status, expected);
  // Reaped: later calls answer from the cached status.
  EXPECT_EQ(*child->wait(), expected);
  auto again = child->try_wait();
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, std::optional<ExitStatus>(expected));
  EXPECT_EQ(child->downcast<UnixChild>()->debug_string(),
            "UnixChild { pid: " + std::to_string(*child->process_id()) + ", status: Some(768) }");
}

TEST_F(UnixChildTest, TryWaitOnARunningProgramAnswersNoneAtOnce) {
  auto child = start({"wait"}, true);
  ASSERT_TRUE(child);
  auto running = child->try_wait();
  ASSERT_TRUE(running) << running.error().message();
  EXPECT_EQ(*running, std::nullopt);
  ASSERT_TRUE(child->clone_killer()->kill());
  EXPECT_EQ(*child->wait(), (ExitStatus{1, std::string(strsignal(SIGHUP)), SIGHUP}));
}

TEST_F(UnixChildTest, ChildKillEscalatesToSigkillWhenTheHangUpIsIgnored) {
  struct Row {
    const char* mode;
    ExitStatus expected;
  };
  const Row rows[] = {
      {"wait", {1, std::string(strsignal(SIGHUP)), SIGHUP}},
      {"ignore-hup", {1, std::string(strsignal(SIGKILL)), SIGKILL}},
  };
  for (const Row& row : rows) {
    auto child = start({row.mode}, true);
    ASSERT_TRUE(child);
    ASSERT_TRUE(child->kill()) << row.mode;
    auto status = child->wait();
    ASSERT_TRUE(status) << status.error().message();
    EXPECT_EQ(*status, row.expected) << row.mode;
  }
}

// Regression guard: the exit watcher reaps the child, and the session hangs it
// up afterwards through its killer. Once reaped, the process id is free for an
// unrelated process; the killer must then send nothing rather than signal
// whatever holds that id now.
TEST_F(UnixChildTest, HangUpAfterTheChildIsReapedSendsNothing) {
  auto child = start({"exit", "0"}, false);
  ASSERT_TRUE(child);
  auto killer = child->clone_killer();
  auto killer_of_killer = killer->clone_killer();
  ASSERT_TRUE(child->wait());
  // Without the shared reaped flag these would reach a free id (ESRCH) or a stranger.
  EXPECT_TRUE(killer->kill());
  EXPECT_TRUE(killer_of_killer->kill());
  EXPECT_TRUE(child->kill());
}

TEST_F(UnixChildTest, KillerWorksFromAnotherThreadWhileTheWaiterBlocks) {
  auto child = start({"wait"}, true);
  ASSERT_TRUE(child);
  auto killer = child->clone_killer();
  Result<ExitStatus> status = Error("not waited");
  std::thread waiter([&] { status = child->wait(); });
  ASSERT_TRUE(killer->kill());
  waiter.join();
  ASSERT_TRUE(status) << status.error().message();
  EXPECT_EQ(*status, (ExitStatus{1, std::string(strsignal(SIGHUP)), SIGHUP}));
}

TEST(ProcessSignallerTest, WithoutPidNothingIsSentAndAGoneProcessIsAnError) {
  ProcessSignaller no_pid(std::nullopt);
  EXPECT_TRUE(no_pid.kill());
  EXPECT_EQ(no_pid.debug_string(), "ProcessSignaller { pid: None }");
  auto clone = no_pid.clone_killer();
  ASSERT_NE(clone->downcast<ProcessSignaller>(), nullptr);
  EXPECT_EQ(clone->downcast<ProcessSignaller>()->pid(), std::nullopt);

  pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) _exit(0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ProcessSignaller gone(static_cast<std::uint32_t>(pid));
  auto sent = gone.kill();
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error().message(), "No such process (os error 3)");
  EXPECT_EQ(gone.debug_string(), "ProcessSignaller { pid: Some(" + std::to_string(pid) + ") }");
}

}  // namespace
}  // namespace qlp
