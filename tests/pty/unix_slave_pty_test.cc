#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "pty/unix_child.h"
#include "pty/unix_pty.h"
#include "support/test_support.h"
#include "terminal_test_support.h"

namespace qlp {
namespace {

using test::in_forked_process;
using test::probe_command;

std::string current_dir() {
  char cwd[4096];
  return getcwd(cwd, sizeof cwd) != nullptr ? cwd : "";
}

/// Starts the probe in a fresh terminal and returns the differences between
/// its report and what a program of a session must see: only 0, 1 and 2
/// open, all three the terminal, a session of its own with the terminal as
/// controlling terminal and itself in the foreground, no ignored and no
/// blocked signal. "" when there is none.
std::string probe_report_problems() {
  auto pair = native_pty_system()->openpty(PtySize{});
  if (!pair) return "openpty: " + pair.error().message();
  auto reader = pair->master->try_clone_reader();
  if (!reader) return "reader: " + reader.error().message();
  auto child = pair->slave->spawn_command(probe_command());
  if (!child) return "spawn: " + child.error().message();
  auto report = test::parse_report(test::read_until(**reader, "end\n"));
  auto status = (*child)->wait();
  if (!status) return "wait: " + status.error().message();

  std::string tty = pair->master->tty_name().value_or("(no name)");
  const std::map<std::string, std::string> expected = {
      {"fds", "0 1 2"},
      {"tty0", tty},
      {"tty1", tty},
      {"tty2", tty},
      {"session-leader", "yes"},
      {"group-leader", "yes"},
      {"terminal-session-is-mine", "yes"},
      {"foreground", "yes"},
      {"dev-tty", "opens"},
      {"ignored", ""},
      {"blocked", ""},
      {"cwd", current_dir()},
      {"end", ""},
  };
  std::string problems;
  for (const auto& [key, value] : expected) {
    auto found = report.find(key);
    std::string got = found == report.end() ? "(missing)" : found->second;
    if (got != value) problems += key + ": expected \"" + value + "\", got \"" + got + "\"\n";
  }
  if (status->code != 0) problems += "exit code " + std::to_string(status->code) + "\n";
  return problems;
}

TEST(SpawnCommandTest, ProgramGetsOnlyTheTerminalAsLeaderOfItsSession) {
  QLP_SKIP_WITHOUT_TERMINALS();
  // Descriptors without close-on-exec in this process must not reach the
  // program either: the sweep, not only close-on-exec, keeps them out.
  OwnedHandle stray(dup(1));
  OwnedHandle high_stray(fcntl(1, F_DUPFD, 200));
  EXPECT_EQ(probe_report_problems(), "");
}

TEST(SpawnCommandTest, ProgramGetsAControllingTerminalWhenThisProcessHasNone) {
  QLP_SKIP_WITHOUT_TERMINALS();
  EXPECT_EQ(in_forked_process([] {
              if (setsid() == -1) return std::string("setsid: ") + std::strerror(errno);
              // Like the bridge, the starting process is no session leader.
              return in_forked_process([] {
                int tty = open("/dev/tty", O_RDWR | O_NOCTTY);
                if (tty != -1) return std::string("this process still has a controlling terminal");
                return probe_report_problems();
              });
            }),
            "");
}

TEST(SpawnCommandTest, EverySignalIsDefaultAndUnblockedWhateverThisProcessInherited) {
  QLP_SKIP_WITHOUT_TERMINALS();
  EXPECT_EQ(in_forked_process([] {
              // A parent may hand the bridge ignored signals (they survive
              // exec) and a mask; none of it may reach the program. SIGCHLD
              // is blocked but not ignored: ignoring it would let the system
              // reap the child behind the waiter's back.
              for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGPIPE, SIGTSTP, SIGTTIN,
                              SIGTTOU, SIGUSR1, SIGUSR2, SIGWINCH}) {
                signal(sig, SIG_IGN);
              }
              // Those the C library keeps for itself too, which it refuses to change.
              for (int sig : {32, 33, 34}) {
                if (!test::ignore_signal_past_libc(sig)) return "cannot ignore " + std::to_string(sig);
              }
              sigset_t blocked;
              sigemptyset(&blocked);
              for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGCHLD, SIGUSR1, SIGCONT, SIGWINCH}) {
                sigaddset(&blocked, sig);
              }
              sigprocmask(SIG_BLOCK, &blocked, nullptr);
              return probe_report_problems();
            }),
            "");
}

TEST(SpawnCommandTest, ForegroundGroupIsTheProgramAndHangUpEndsIt) {
  QLP_SKIP_WITHOUT_TERMINALS();
  auto pair = native_pty_system()->openpty(PtySize{});
  ASSERT_TRUE(pair) << pair.error().message();
  auto reader = pair->master->try_clone_reader();
  ASSERT_TRUE(reader);
  auto child = pair->slave->spawn_command(probe_command({"wait"}));
  ASSERT_TRUE(child) << child.error().message();
  ASSERT_EQ(test::read_until(**reader, "ready\n"), "ready\n");
  EXPECT_EQ(pair->master->process_group_leader(),
            std::optional<pid_t>(static_cast<pid_t>(*(*child)->process_id())));
  ASSERT_TRUE((*child)->clone_killer()->kill());
  auto status = (*child)->wait();
  ASSERT_TRUE(status) << status.error().message();
  EXPECT_EQ(*status, (ExitStatus{1, std::string(strsignal(SIGHUP)), SIGHUP}));
}

TEST(SpawnCommandTest, TerminalReadsAsEndOfFileOnceTheProgramHasGone) {
  QLP_SKIP_WITHOUT_TERMINALS();
  auto pair = native_pty_system()->openpty(PtySize{});
  ASSERT_TRUE(pair) << pair.error().message();
  auto reader = pair->master->try_clone_reader();
  ASSERT_TRUE(reader);
  auto child = pair->slave->spawn_command(probe_command());
  ASSERT_TRUE(child) << child.error().message();
  pair->slave.reset();
  ASSERT_TRUE((*child)->wait());

  std::string output;
  bool end_of_file = false;
  auto deadline = std::chrono::steady_clock::now() + test::scaled(std::chrono::milliseconds(5000));
  while (!end_of_file && std::chrono::steady_clock::now() < deadline) {
    std::uint8_t buffer[256];
    auto n = (*reader)->read(buffer);
    ASSERT_TRUE(n) << n.error().message();
    end_of_file = *n == 0;
    output.append(buffer, buffer + *n);
  }
  EXPECT_TRUE(end_of_file);
  EXPECT_NE(output.find("end\r\n"), std::string::npos) << output;
}

TEST(SpawnCommandTest, WorkingDirectoryThatCannotBeEnteredFailsAndLeavesNoProcess) {
  QLP_SKIP_WITHOUT_TERMINALS();
  // With no usable working directory the program starts in HOME; these cannot be entered.
  for (const char* home : {"/nonexistent/qlp-home", ""}) {
    EXPECT_EQ(in_forked_process([home] {
                auto pair = native_pty_system()->openpty(PtySize{});
                if (!pair) return "openpty: " + pair.error().message();
                CommandBuilder builder(test::helper_path("pty_probe"));
                builder.env("HOME", home);
                auto child = pair->slave->spawn_command(std::move(builder));
                if (child) return std::string("started");
                if (child.error().message() != "No such file or directory (os error 2)") {
                  return "error: " + child.error().message();
                }
                return test::expect_no_children();
              }),
              "")
        << "HOME=\"" << home << "\"";
  }
}

// Regression: the descriptor sweep used to close the error pipe's write end
// as well, so an exec that failed after it (here: a script whose "#!"
// interpreter does not exist) could not be reported. The start looked
// successful, the parent was told the program runs, and the process that
// never ran the program was left to end on its own.
TEST(SpawnCommandTest, ExecFailureIsAStartError) {
  QLP_SKIP_WITHOUT_TERMINALS();
  char dir_template[] = "/tmp/qlp-exec-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  std::string script = std::string(dir_template) + "/script";
  { std::ofstream(script) << "#!/nonexistent/interpreter\necho never\n"; }
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);

  EXPECT_EQ(in_forked_process([&script] {
              auto pair = native_pty_system()->openpty(PtySize{});
              if (!pair) return "openpty: " + pair.error().message();
              auto child = pair->slave->spawn_command(CommandBuilder(script));
              if (child) return std::string("started");
              if (child.error().message() != "No such file or directory (os error 2)") {
                return "error: " + child.error().message();
              }
              return test::expect_no_children();
            }),
            "");
  unlink(script.c_str());
  rmdir(dir_template);
}

TEST(SpawnCommandTest, NulByteFailsBeforeAnyProcessExists) {
  QLP_SKIP_WITHOUT_TERMINALS();
  using namespace std::string_literals;
  struct Row {
    const char* what;
    void (*change)(CommandBuilder&);
  };
  const Row rows[] = {
      {"argument", [](CommandBuilder& b) { b.args({"a\0b"s}); }},
      {"environment value", [](CommandBuilder& b) { b.env("QLP_VALUE", "x\0y"s); }},
      {"environment name", [](CommandBuilder& b) { b.env("QLP\0NAME"s, "x"); }},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(in_forked_process([&row] {
                auto pair = native_pty_system()->openpty(PtySize{});
                if (!pair) return "openpty: " + pair.error().message();
                CommandBuilder builder = probe_command();
                row.change(builder);
                auto child = pair->slave->spawn_command(std::move(builder));
                if (child) return std::string("started");
                if (child.error().message() != "nul byte found in provided data") {
                  return "error: " + child.error().message();
                }
                return test::expect_no_children();
              }),
              "")
        << row.what;
  }
}

TEST(SpawnCommandTest, ResolutionFailureIsReturnedUnchanged) {
  QLP_SKIP_WITHOUT_TERMINALS();
  auto pair = native_pty_system()->openpty(PtySize{});
  ASSERT_TRUE(pair) << pair.error().message();
  auto child = pair->slave->spawn_command(CommandBuilder("/nonexistent/qlp-program"));
  ASSERT_FALSE(child);
  EXPECT_EQ(child.error().message(),
            "Unable to spawn /nonexistent/qlp-program because it doesn't exist on the filesystem "
            "(ENOENT: No such file or directory)");
}

}  // namespace
}  // namespace qlp
