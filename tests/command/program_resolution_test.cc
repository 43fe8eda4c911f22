#include "command/program_resolution.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "command/c_string_array.h"
#include "text/utf8.h"
#include "command_test_support.h"

extern "C" char** environ;

namespace qlp {
namespace {

using std::string_literals::operator""s;
using test::run_in_child;
using test::TempTree;

/// Executable, non-executable and directory candidates in one tree.
class ResolutionTest : public ::testing::Test {
 protected:
  ResolutionTest() {
    tree_.file("bin/tool", 0755);
    tree_.file("bin/plain", 0644);
    tree_.file("bin/x", 0644);
    tree_.file("bin/.hidden", 0755);
    tree_.file("bin/odd\xFF", 0755);
    tree_.file("bin/rootonly", 0700);
    tree_.dir("bin/subdir");
    tree_.file("other/tool", 0755);
    tree_.file("other/x", 0755);
    tree_.file("work/run", 0755, "#!/bin/sh\nexit 7\n");
    tree_.file("work/data", 0644);
    tree_.dir("work/dir");
    tree_.file("work/bin/tool", 0755);
    tree_.file("work/rel/tool", 0755);
    tree_.file("\xFFpath/plain", 0644);
    tree_.symlink("linkdir", t("/bin/subdir"));
    tree_.symlink("linktool", t("/bin/tool"));
  }

  /// The tree's root followed by `rest`.
  std::string t(const std::string& rest) const { return tree_.root() + rest; }

  /// A builder for `program` whose PATH is `path` (absent when nullopt).
  static CommandBuilder builder_with_path(const std::string& program,
                                          const std::optional<std::string>& path) {
    CommandBuilder builder(program);
    if (path) {
      builder.env("PATH", *path);
    } else {
      builder.env_remove("PATH");
    }
    return builder;
  }

  /// "ok <path>" or "error <message>".
  static std::string outcome(const Result<std::string>& result) {
    return result ? "ok " + result.value() : "error " + result.error().message();
  }

  TempTree tree_;
};

TEST(JoinPathTest, AbsoluteTailWinsAndOneSlashSeparates) {
  struct Row {
    std::string head, tail, joined;
  };
  const Row rows[] = {
      {"/work", "run", "/work/run"}, {"/work/", "run", "/work/run"}, {"", "run", "run"},
      {"/work", "/abs", "/abs"},     {"/work", "", "/work/"},        {"", "", ""},
      {"rel", "./x", "rel/./x"},     {"/", "bin", "/bin"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(join_path(row.head, row.tail), row.joined) << row.head << " + " << row.tail;
  }
}

TEST_F(ResolutionTest, AbsoluteProgramIsTestedUnchanged) {
  struct Row {
    std::string program;
    std::string expected;
  };
  const Row rows[] = {
      {t("/bin/tool"), "ok " + t("/bin/tool")},
      {t("/linktool"), "ok " + t("/linktool")},
      {t("/bin/subdir"),
       "error Unable to spawn " + t("/bin/subdir") + " because it is a directory"},
      {t("/linkdir"), "error Unable to spawn " + t("/linkdir") + " because it is a directory"},
      {t("/bin/plain"), "error Unable to spawn " + t("/bin/plain") +
                            " because it is not executable (EACCES: Permission denied)"},
      {t("/bin/missing"), "error Unable to spawn " + t("/bin/missing") +
                              " because it doesn't exist on the filesystem (ENOENT: No such file "
                              "or directory)"},
      {t("/bin/plain/x"), "error Unable to spawn " + t("/bin/plain/x") +
                              " because it doesn't exist on the filesystem (ENOTDIR: Not a "
                              "directory)"},
      {t("/bin/\xFFmissing"), "error Unable to spawn " + t("/bin/\xEF\xBF\xBDmissing") +
                                  " because it doesn't exist on the filesystem (ENOENT: No such "
                                  "file or directory)"},
      {"/bin/sh\0x"s,
       "error Unable to spawn /bin/sh\0x because it doesn't exist on the "
       "filesystem (EINVAL: Invalid argument)"s},
  };
  CommandBuilder builder = builder_with_path("unused", std::nullopt);
  for (const Row& row : rows) {
    EXPECT_EQ(outcome(resolve_program(builder, row.program, t("/work"))), row.expected);
  }
}

TEST_F(ResolutionTest, DotFirstComponentIsTakenUnderTheWorkingDirectory) {
  struct Row {
    std::string program;
    std::string dir;
    std::string expected;
  };
  const std::string work = t("/work");
  const Row rows[] = {
      {"./run", work, "ok " + t("/work/./run")},
      {"./run", work + "/", "ok " + t("/work/./run")},
      {"../bin/tool", work, "ok " + t("/work/../bin/tool")},
      {"./data", work,
       "error Unable to spawn " + t("/work/./data") + " because it is not executable"},
      {"./nope", work, "error Unable to spawn " + t("/work/./nope") + " because it does not exist"},
      {"./\xFF", work,
       "error Unable to spawn " + t("/work/./\xEF\xBF\xBD") + " because it does not exist"},
      {"./dir", work, "error Unable to spawn " + t("/work/./dir") + " because it is a directory"},
      {".", work, "error Unable to spawn " + t("/work/.") + " because it is a directory"},
      {"..", work, "error Unable to spawn " + t("/work/..") + " because it is a directory"},
      {"./run/", work, "error Unable to spawn " + t("/work/./run/") + " because it does not exist"},
  };
  // PATH holds the same names, so a search would have found them.
  CommandBuilder builder = builder_with_path("unused", t("/work"));
  for (const Row& row : rows) {
    EXPECT_EQ(outcome(resolve_program(builder, row.program, row.dir)), row.expected) << row.program;
  }
}

TEST_F(ResolutionTest, OtherNamesAreSearchedAlongPath) {
  struct Row {
    const char* what;
    std::string program;
    std::optional<std::string> path;
    std::string expected;
  };
  const std::string bin = t("/bin"), other = t("/other");
  const Row rows[] = {
      {"first entry wins", "tool", bin + ":" + other, "ok " + t("/bin/tool")},
      {"a non-executable earlier candidate is passed over silently", "x", bin + ":" + other,
       "ok " + t("/other/x")},
      {"a name with a dot but no dot component", ".hidden", bin, "ok " + t("/bin/.hidden")},
      {"an empty PATH is the working directory", "run", "", "ok " + t("/work/run")},
      {"an empty entry is the working directory", "run", other + "::", "ok " + t("/work/run")},
      {"a relative entry is taken under the working directory", "tool", "rel",
       "ok " + t("/work/rel/tool")},
      {"bin/tool is searched along PATH", "bin/tool", t(""), "ok " + t("/bin/tool")},
      {"bin/tool is not looked for under the working directory", "bin/tool", other,
       "error Unable to spawn bin/tool because:\nNo viable candidates found in PATH \"" + other +
           "\""},
      {"not executable", "plain", bin + ":" + other,
       "error Unable to spawn plain because:\n" + t("/bin/plain") +
           " exists but is not executable.\nNo viable candidates found in PATH \"" + bin + ":" +
           other + "\""},
      {"a directory", "subdir", bin,
       "error Unable to spawn subdir because:\n" + t("/bin/subdir") +
           " exists but is a directory.\nNo viable candidates found in PATH \"" + bin + "\""},
      {"every empty entry counts", "dir", ":",
       "error Unable to spawn dir because:\n" + t("/work/dir") + " exists but is a directory.\n" +
           t("/work/dir") +
           " exists but is a directory.\nNo viable candidates found in PATH \":\""},
      {"an empty name finds every directory", "", bin + ":" + t("/missing"),
       "error Unable to spawn  because:\n" + t("/bin/") +
           " exists but is a directory.\nNo viable candidates found in PATH \"" + bin + ":" +
           t("/missing") + "\""},
      {"entries that are not UTF-8", "plain", t("/\xFFpath:") + bin,
       "error Unable to spawn plain because:\n" + t("/\xEF\xBF\xBDpath/plain") +
           " exists but is not executable.\n" + t("/bin/plain") +
           " exists but is not executable.\nNo viable candidates found in PATH \"" +
           t("/\\xFFpath:") + bin + "\""},
      {"nothing anywhere", "nothing", "/nonexistent\t\"dir\"",
       "error Unable to spawn nothing because:\nNo viable candidates found in PATH "
       "\"/nonexistent\\t\\\"dir\\\"\""},
      {"no PATH", "tool", std::nullopt,
       "error Unable to spawn tool because:\nUnable to resolve the PATH"},
  };
  for (const Row& row : rows) {
    CommandBuilder builder = builder_with_path("unused", row.path);
    EXPECT_EQ(outcome(resolve_program(builder, row.program, t("/work"))), row.expected) << row.what;
  }
}

TEST_F(ResolutionTest, ExecuteCheckUsesTheRealUserId) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run with another real user id";
  CommandBuilder builder = builder_with_path("unused", std::nullopt);
  EXPECT_EQ(outcome(resolve_program(builder, t("/bin/rootonly"), "/")), "ok " + t("/bin/rootonly"));
  // Effective id root, real id nobody: the file is executable for the
  // effective id only, and the real one decides.
  EXPECT_EQ(run_in_child([&] {
              if (::setreuid(65534, 0) != 0) return "setreuid"s;
              return outcome(resolve_program(builder, t("/bin/rootonly"), "/"));
            }),
            "error Unable to spawn " + t("/bin/rootonly") +
                " because it is not executable (EACCES: Permission denied)");
}

TEST_F(ResolutionTest, HomeDirectoryFromHomeOrTheAccount) {
  struct Row {
    const char* what;
    std::optional<std::string> home;
    std::optional<AccountInfo> account;
    std::string expected;
  };
  const AccountInfo bad_account{"/h\xFFome", "/bin/sh"};
  const Row rows[] = {
      {"HOME as given", "/home/me", bad_account, "ok /home/me"},
      {"HOME is not checked", "/no/such/dir", bad_account, "ok /no/such/dir"},
      {"an empty HOME counts", "", bad_account, "ok "},
      {"a HOME that is not UTF-8 counts as absent", "/h\xFF", AccountInfo{"/acct", ""}, "ok /acct"},
      {"the account's home", std::nullopt, AccountInfo{"/acct", ""}, "ok /acct"},
      {"no account", std::nullopt, std::nullopt, "ok /"},
      {"no usable home anywhere", std::nullopt, bad_account, "error failed to resolve home dir"},
      {"no usable home anywhere", "\xC3", bad_account, "error failed to resolve home dir"},
  };
  for (const Row& row : rows) {
    CommandBuilder builder("unused");
    if (row.home) {
      builder.env("HOME", *row.home);
    } else {
      builder.env_remove("HOME");
    }
    Result<std::string> home = resolve_home_dir(builder, [&] { return row.account; });
    EXPECT_EQ(outcome(home), row.expected) << row.what;
    if (!home) {
      ASSERT_NE(home.error().cause(), nullptr);
      EXPECT_EQ(home.error().cause()->message(),
                "invalid utf-8 byte sequence of 1 byte at offset 2");
    }
  }
}

TEST_F(ResolutionTest, BuilderShellIsItsShellWhenExecutableElseTheAccounts) {
  struct Row {
    const char* what;
    std::optional<std::string> shell;
    std::optional<AccountInfo> account;
    std::string expected;
  };
  const AccountInfo account{"/home", t("/other/tool")};
  const Row rows[] = {
      {"executable SHELL", t("/bin/tool"), account, t("/bin/tool")},
      {"SHELL not executable", t("/bin/plain"), account, t("/other/tool")},
      {"SHELL missing", t("/bin/missing"), account, t("/other/tool")},
      {"SHELL empty", "", account, t("/other/tool")},
      {"SHELL a NUL byte", "/bin/sh\0"s, account, t("/other/tool")},
      {"SHELL not UTF-8, though executable", t("/bin/odd\xFF"), account, t("/other/tool")},
      {"no SHELL", std::nullopt, account, t("/other/tool")},
      {"no SHELL, no account", std::nullopt, std::nullopt, "/bin/sh"},
      {"no SHELL, account shell not executable", std::nullopt, AccountInfo{"/", t("/bin/plain")},
       "/bin/sh"},
  };
  for (const Row& row : rows) {
    CommandBuilder builder("unused");
    if (row.shell) {
      builder.env("SHELL", *row.shell);
    } else {
      builder.env_remove("SHELL");
    }
    EXPECT_EQ(builder.get_shell([&] { return row.account; }), row.expected) << row.what;
  }
  // A relative SHELL is checked from the current directory, never under the
  // builder's working directory, and comes back unchanged.
  EXPECT_EQ(run_in_child([&] {
              if (::chdir(tree_.root().c_str()) != 0) return "chdir"s;
              CommandBuilder builder("unused");
              builder.cwd("work");
              builder.env("SHELL", "bin/tool");
              std::string found = builder.get_shell([] { return std::nullopt; });
              builder.env("SHELL", "rel/tool");
              return found + "|" + builder.get_shell([] { return std::nullopt; });
            }),
            "bin/tool|/bin/sh");
}

/// Whole Command as text: program, argv, directory, flag and environment.
std::string describe(const Command& command) {
  std::string text = command.program() + "\n";
  for (const std::string& arg : command.argv()) text += quoted_form(arg) + " ";
  text += "\ncwd " + command.working_dir() + (command.clears_env() ? "\nclear\n" : "\ninherit\n");
  for (const std::string& entry : command.env_block()) text += entry + "\n";
  return text;
}

std::string describe(const Result<Command>& command) {
  return command ? describe(command.value()) : "error " + command.error().message();
}

/// Runs `body` in a child whose environment block is exactly `block`.
std::string with_environment_block(std::vector<std::string> block,
                                   const std::function<std::string()>& body) {
  return run_in_child([&] {
    std::vector<char*> pointers;
    for (std::string& entry : block) pointers.push_back(entry.data());
    pointers.push_back(nullptr);
    environ = pointers.data();
    return body();
  });
}

TEST_F(ResolutionTest, CommandCarriesProgramArgumentsDirectoryAndWholeEnvironment) {
  const AccountInfo account{"/acct", t("/other/tool")};
  EXPECT_EQ(with_environment_block(
                {"HOME=/home/me", "PATH=" + t("/bin"), "SHELL=" + t("/bin/plain"), "TERM=dumb"},
                [&] {
                  CommandBuilder builder("tool");
                  builder.args({"a", ""});
                  builder.cwd(t("/work"));
                  builder.env("Path", "p");
                  builder.env_remove("TERM");
                  return describe(builder.as_command([&] { return account; }));
                }),
            t("/bin/tool") + "\n\"tool\" \"a\" \"\" \ncwd " + t("/work") +
                "\nclear\nHOME=/home/me\nPATH=" + t("/bin") + "\nPath=p\nSHELL=" + t("/bin/plain") +
                "\n");
  // Without SHELL in the builder the child still gets one: the account's.
  EXPECT_EQ(with_environment_block(
                {"HOME=/home/me", "PATH=" + t("/bin")},
                [&] {
                  CommandBuilder builder(t("/bin/tool"));
                  builder.env_remove("SHELL");
                  std::string text = describe(builder.as_command([&] { return account; }));
                  return text + describe(builder.as_command([] { return std::nullopt; }));
                }),
            t("/bin/tool") + "\n" + quoted_form(t("/bin/tool")) + " \ncwd /home/me\nclear\n" +
                "HOME=/home/me\nPATH=" + t("/bin") + "\nSHELL=" + t("/other/tool") + "\n" +
                t("/bin/tool") + "\n" + quoted_form(t("/bin/tool")) + " \ncwd /home/me\nclear\n" +
                "HOME=/home/me\nPATH=" + t("/bin") + "\nSHELL=/bin/sh\n");
}

TEST_F(ResolutionTest, WorkingDirectoryIsTheRequestedDirectoryElseHome) {
  struct Row {
    const char* what;
    std::optional<std::string> cwd;
    std::optional<std::string> home;
    std::optional<AccountInfo> account;
    std::string expected;  // "cwd <D>" or "error <message>"
  };
  const AccountInfo account{"/acct", "/bin/sh"};
  const AccountInfo bad_account{"/acct\xFF", "/bin/sh"};
  const Row rows[] = {
      {"an existing directory", t("/other"), "/home/me", account, "cwd " + t("/other")},
      {"a link to a directory", t("/linkdir"), "/home/me", account, "cwd " + t("/linkdir")},
      {"a file", t("/bin/plain"), "/home/me", account, "cwd /home/me"},
      {"a missing path", t("/missing"), "/home/me", account, "cwd /home/me"},
      {"none", std::nullopt, "/home/me", account, "cwd /home/me"},
      {"no HOME, no account", std::nullopt, std::nullopt, std::nullopt, "cwd /"},
      {"an empty HOME", t("/missing"), "", account, "cwd "},
      {"HOME not UTF-8", std::nullopt, "/home/\xFF", account, "cwd /acct"},
      {"the home is settled even when the directory is usable", t("/other"), std::nullopt,
       bad_account, "error failed to resolve home dir"},
      {"the home is settled even when the directory is usable", t("/other"), "\xFF", bad_account,
       "error failed to resolve home dir"},
  };
  for (const Row& row : rows) {
    CommandBuilder builder(t("/bin/tool"));
    if (row.cwd) builder.cwd(*row.cwd);
    if (row.home) {
      builder.env("HOME", *row.home);
    } else {
      builder.env_remove("HOME");
    }
    Result<Command> command = builder.as_command([&] { return row.account; });
    EXPECT_EQ(command ? "cwd " + command->working_dir() : "error " + command.error().message(),
              row.expected)
        << row.what;
  }
}

TEST_F(ResolutionTest, ResolutionFailureIsTheCommandFailure) {
  CommandBuilder builder("./nope");
  builder.cwd(t("/work"));
  EXPECT_EQ(describe(builder.as_command()),
            "error Unable to spawn " + t("/work/./nope") + " because it does not exist");
}

TEST_F(ResolutionTest, DefaultProgramRunsTheShellAsALoginShell) {
  EXPECT_EQ(with_environment_block(
                {"HOME=/", "SHELL=" + t("/bin/tool")},
                [] { return describe(CommandBuilder::new_default_prog().as_command()); }),
            t("/bin/tool") + "\n\"-tool\" \ncwd /\nclear\nHOME=/\nSHELL=" + t("/bin/tool") + "\n");
  // A SHELL without a slash is the whole base name; being relative, the file
  // to execute is anchored where it was checked.
  EXPECT_EQ(
      with_environment_block({"HOME=/", "SHELL=tool"},
                             [&] {
                               if (::chdir(t("/bin").c_str()) != 0) return "chdir"s;
                               return describe(CommandBuilder::new_default_prog().as_command());
                             }),
      t("/bin/tool") + "\n\"-tool\" \ncwd /\nclear\nHOME=/\nSHELL=tool\n");
}

// Regression: the checks of program resolution ran from this process's
// current directory, but the child enters the working directory before it
// executes the program. With a relative working directory "work" and the
// program "./run", the check found work/./run from here; the child then
// looked for work/./run under work and failed to start (or ran another file).
TEST_F(ResolutionTest, RelativeResolvedProgramIsTheFileThatWasChecked) {
  EXPECT_EQ(run_in_child([&] {
              if (::chdir(tree_.root().c_str()) != 0) return "chdir"s;
              CommandBuilder builder("./run");
              builder.cwd("work");
              builder.env("PATH", "rel");
              Result<Command> command = builder.as_command();
              if (!command) return "error " + command.error().message();
              std::string text = command->program() + " " + command->argv()[0] + " " +
                                 command->working_dir() + "\n";

              // Start it the way the terminal layer does: enter the directory, then execute.
              CStringArray argv(command->argv());
              CStringArray envp(command->env_block());
              const pid_t pid = ::fork();
              if (pid == 0) {
                if (::chdir(command->working_dir().c_str()) != 0) ::_exit(126);
                ::execve(command->program().c_str(), argv.get(), envp.get());
                ::_exit(127);
              }
              int status = 0;
              ::waitpid(pid, &status, 0);
              text += "exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "\n";

              // A relative PATH entry is anchored the same way.
              CommandBuilder searched("tool");
              searched.cwd("work");
              searched.env("PATH", "rel");
              command = searched.as_command();
              text += command ? command->program() + " " + command->argv()[0] : "error";
              return text;
            }),
            t("/work/./run") + " ./run work\nexit 7\n" + t("/work/rel/tool") + " tool");
}

TEST_F(ResolutionTest, AbsoluteProgramsAndAbsolutePathEntriesStayAsFound) {
  CommandBuilder absolute(t("/linktool"));
  absolute.cwd("work");
  CommandBuilder searched("tool");
  searched.cwd("work");
  searched.env("PATH", t("/bin"));
  Result<Command> first = absolute.as_command();
  Result<Command> second = searched.as_command();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->program(), t("/linktool"));
  EXPECT_EQ(second->program(), t("/bin/tool"));
  EXPECT_EQ(second->argv()[0], "tool");
}

}  // namespace
}  // namespace qlp
