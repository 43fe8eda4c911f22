#include "command/command_builder.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "text/utf8.h"
#include "command_test_support.h"

extern "C" char** environ;

namespace qlp {
namespace {

using test::run_in_child;
using test::TempTree;

/// One line per entry: quoted key, quoted name, quoted value, origin.
std::string describe(const EnvMap& environment) {
  std::string text;
  for (const auto& [key, entry] : environment) {
    text += quoted_form(key) + " " + quoted_form(entry.name) + "=" + quoted_form(entry.value) +
            (entry.from_process_env ? " process\n" : " builder\n");
  }
  return text;
}

/// Runs `body` in a child whose environment block is exactly `block`
/// (nullptr: no block at all).
std::string with_environment_block(const std::vector<std::string>* block,
                                   const std::function<std::string()>& body) {
  return run_in_child([&] {
    std::vector<char*> pointers;
    std::vector<std::string> copies = block != nullptr ? *block : std::vector<std::string>{};
    for (std::string& entry : copies) pointers.push_back(entry.data());
    pointers.push_back(nullptr);
    environ = block != nullptr ? pointers.data() : nullptr;
    return body();
  });
}

/// The account shell as the user database gives it, or "/bin/sh" when the
/// entry is missing or its shell not executable.
std::string expected_account_shell() {
  const passwd* entry = ::getpwuid(::getuid());
  if (entry == nullptr || ::access(entry->pw_shell, X_OK) != 0) return "/bin/sh";
  return entry->pw_shell;
}

/// Moves the child to a real user id that has no user database entry.
/// Returns false when that is impossible (not running as root).
bool become_user_without_entry() {
  if (::geteuid() != 0) return false;
  for (uid_t uid = 54321; uid < 60000; ++uid) {
    if (::getpwuid(uid) == nullptr) return ::setuid(uid) == 0;
  }
  return false;
}

TEST(EnvironmentSnapshotTest, BlockEntriesBecomeEntriesByTheSnapshotRules) {
  struct Row {
    const char* what;
    std::vector<std::string> block;
    std::string expected;
  };
  const std::string shell_line =
      "\"SHELL\" \"SHELL\"=" + quoted_form(expected_account_shell()) + " process\n";
  const Row rows[] = {
      {"a leading = belongs to the name; no = or too short is skipped; Y= is empty",
       {"=A=1", "X", "Y=", "", "Z", "=", "==", "SHELL=/bin/sh"},
       "\"=\" \"=\"=\"\" process\n"
       "\"=A\" \"=A\"=\"1\" process\n"
       "\"SHELL\" \"SHELL\"=\"/bin/sh\" process\n"
       "\"Y\" \"Y\"=\"\" process\n"},
      {"the last of duplicate names wins",
       {"A=1", "B=b", "A=2", "SHELL=/bin/sh"},
       "\"A\" \"A\"=\"2\" process\n"
       "\"B\" \"B\"=\"b\" process\n"
       "\"SHELL\" \"SHELL\"=\"/bin/sh\" process\n"},
      {"names in unsigned byte order, case-sensitive, bytes kept",
       {"path=l", "\xC3\xA9=e", "PATH=u\xFF", "Path=m", "SHELL=/bin/sh"},
       "\"PATH\" \"PATH\"=\"u\\xFF\" process\n"
       "\"Path\" \"Path\"=\"m\" process\n"
       "\"SHELL\" \"SHELL\"=\"/bin/sh\" process\n"
       "\"path\" \"path\"=\"l\" process\n"
       "\"\xC3\xA9\" \"\xC3\xA9\"=\"e\" process\n"},
      {"an existing SHELL stays whatever it holds",
       {"SHELL=/no/such/shell\xFF"},
       "\"SHELL\" \"SHELL\"=\"/no/such/shell\\xFF\" process\n"},
      {"a missing SHELL is the account's shell",
       {"Shell=/bin/sh", "TERM=dumb"},
       shell_line +
           "\"Shell\" \"Shell\"=\"/bin/sh\" process\n\"TERM\" \"TERM\"=\"dumb\" process\n"},
      {"an empty block still gets SHELL", {}, shell_line},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(
        with_environment_block(&row.block, [] { return describe(CommandBuilder::get_base_env()); }),
        row.expected)
        << row.what;
  }
  EXPECT_EQ(
      with_environment_block(nullptr, [] { return describe(CommandBuilder::get_base_env()); }),
      shell_line)
      << "no environment block at all";
}

TEST(EnvironmentSnapshotTest, UserWithoutDatabaseEntryGetsBinSh) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to take a user id without a database entry";
  const std::vector<std::string> block = {"PATH=/bin"};
  EXPECT_EQ(
      with_environment_block(&block,
                             [] {
                               if (!become_user_without_entry()) return std::string("setuid");
                               return describe(CommandBuilder::get_base_env()) + "|" + get_shell();
                             }),
      "\"PATH\" \"PATH\"=\"/bin\" process\n\"SHELL\" \"SHELL\"=\"/bin/sh\" process\n|/bin/sh");
}

TEST(CommandBuilderTest, NewHoldsTheProgramOverTheSnapshot) {
  const std::vector<std::string> block = {"HOME=/home/x", "SHELL=/bin/sh"};
  EXPECT_EQ(with_environment_block(&block,
                                   [] {
                                     CommandBuilder builder("prog\xFF");
                                     std::string text;
                                     for (const std::string& a : builder.argv()) {
                                       text += quoted_form(a) + " ";
                                     }
                                     text += builder.working_dir() ? "cwd " : "no-cwd ";
                                     text += builder.file_mode_mask() ? "mask " : "no-mask ";
                                     text +=
                                         builder.controlling_terminal() ? "ctty\n" : "no-ctty\n";
                                     return text + describe(builder.environment());
                                   }),
            "\"prog\\xFF\" no-cwd no-mask ctty\n"
            "\"HOME\" \"HOME\"=\"/home/x\" process\n"
            "\"SHELL\" \"SHELL\"=\"/bin/sh\" process\n");
}

TEST(CommandBuilderTest, EnvChangesReplaceRemoveAndKeepNamesApart) {
  const std::vector<std::string> block = {"PATH=/usr/bin", "SHELL=/bin/sh", "TERM=dumb"};
  EXPECT_EQ(with_environment_block(&block,
                                   [] {
                                     CommandBuilder builder("sh");
                                     builder.env("PATH", "/first");
                                     builder.env("PATH", "/second");
                                     builder.env("Path", "/other");
                                     builder.env("", "empty name");
                                     builder.env("EMPTY", "");
                                     builder.env_remove("NOT_STORED");
                                     builder.env_remove("SHELL");
                                     builder.env_remove("term");
                                     std::string text = describe(builder.environment());
                                     text +=
                                         builder.get_env("SHELL") ? "SHELL set\n" : "no SHELL\n";
                                     text += builder.get_env("PATH").value_or("-") + "\n";
                                     text += builder.get_env("path").value_or("-") + "\n";
                                     return text;
                                   }),
            "\"\" \"\"=\"empty name\" builder\n"
            "\"EMPTY\" \"EMPTY\"=\"\" builder\n"
            "\"PATH\" \"PATH\"=\"/second\" builder\n"
            "\"Path\" \"Path\"=\"/other\" builder\n"
            "\"TERM\" \"TERM\"=\"dumb\" process\n"
            "no SHELL\n"
            "/second\n"
            "-\n");
}

TEST(CommandBuilderTest, ArgsAppendInOrderAndCwdReplaces) {
  CommandBuilder builder("prog");
  builder.args({});
  EXPECT_EQ(builder.argv(), std::vector<std::string>{"prog"});
  builder.args({"-c", "", "echo \xFF"});
  builder.args({"last"});
  EXPECT_EQ(builder.argv(), (std::vector<std::string>{"prog", "-c", "", "echo \xFF", "last"}));
  builder.cwd("/first");
  builder.cwd("relative");
  EXPECT_EQ(builder.working_dir(), std::optional<std::string>("relative"));

  CommandBuilder default_prog = CommandBuilder::new_default_prog();
  default_prog.args({});
  EXPECT_TRUE(default_prog.argv().empty());
}

TEST(CommandBuilderDeathTest, ArgsOnADefaultProgramBuilderIsAProgrammingFault) {
  EXPECT_DEATH(CommandBuilder::new_default_prog().args({"x"}),
               "attempted to add args to a default_prog builder");
}

TEST(AccountShellTest, FallsBackToBinShUnlessUtf8AndExecutable) {
  TempTree tree;
  const std::string tool = tree.file("bin/tool", 0755);
  const std::string plain = tree.file("bin/plain", 0644);
  const std::string odd = tree.file("bin/odd\xFF", 0755);
  struct Row {
    const char* what;
    std::optional<AccountInfo> account;
    std::string expected;
  };
  const Row rows[] = {
      {"no entry", std::nullopt, "/bin/sh"},
      {"executable", AccountInfo{"/home", tool}, tool},
      {"not UTF-8, though executable", AccountInfo{"/home", odd}, "/bin/sh"},
      {"not executable", AccountInfo{"/home", plain}, "/bin/sh"},
      {"missing", AccountInfo{"/home", tree.path("bin/missing")}, "/bin/sh"},
      {"empty", AccountInfo{"/home", ""}, "/bin/sh"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(get_shell([&] { return row.account; }), row.expected) << row.what;
  }
  // A relative shell is checked from the current directory and returned unchanged.
  EXPECT_EQ(run_in_child([&] {
              if (::chdir(tree.root().c_str()) != 0) return std::string("chdir");
              return get_shell([] {
                       return AccountInfo{"/home", "bin/tool"};
                     }) +
                     "|" + get_shell([] {
                       return AccountInfo{"/home", "tool"};
                     });
            }),
            "bin/tool|/bin/sh");
}

}  // namespace
}  // namespace qlp
