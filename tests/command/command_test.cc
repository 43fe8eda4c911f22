#include "command/command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qlp {
namespace {

using std::string_literals::operator""s;

TEST(CommandTest, ArgumentVectorStartsAsTheProgram) {
  Command command("/usr/bin/tool");
  EXPECT_EQ(command.argv(), std::vector<std::string>{"/usr/bin/tool"});
  command.set_arg_0("tool");
  command.arg("one");
  command.arg("");
  EXPECT_EQ(command.program(), "/usr/bin/tool");
  EXPECT_EQ(command.argv(), (std::vector<std::string>{"tool", "one", ""}));
}

TEST(CommandTest, EnvironmentBlockIsInUnsignedByteOrderOfNames) {
  Command command("/bin/sh");
  command.env("inherited", "gone");
  command.env_clear();
  EXPECT_TRUE(command.clears_env());
  EXPECT_TRUE(command.environment().empty());
  command.env("Path", "b");
  command.env("\xC3\xA9t\xC3\xA9", "summer");
  command.env("PATH", "a");
  command.env("A", "first");
  command.env("A", "");
  command.env("AB", "x=y");
  EXPECT_EQ(command.env_block(), (std::vector<std::string>{"A=", "AB=x=y", "PATH=a", "Path=b",
                                                           "\xC3\xA9t\xC3\xA9=summer"}));
}

TEST(CommandTest, NulByteAnywhereIsDetected) {
  struct Row {
    const char* where;
    Command command;
    bool has_nul;
  };
  const auto make = [](auto change) {
    Command command("/bin/sh");
    command.cwd("/tmp");
    command.arg("-c");
    command.env("NAME", "value");
    change(command);
    return command;
  };
  const Row rows[] = {
      {"nowhere", make([](Command&) {}), false},
      {"program", make([](Command& c) { c = Command("/bin/s\0h"s); }), true},
      {"argv[0]", make([](Command& c) { c.set_arg_0("s\0h"s); }), true},
      {"argument", make([](Command& c) { c.arg("echo\0hi"s); }), true},
      {"working directory", make([](Command& c) { c.cwd("/tm\0p"s); }), true},
      {"name", make([](Command& c) { c.env("N\0AME"s, "v"); }), true},
      {"value", make([](Command& c) { c.env("OTHER", "v\0"s); }), true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.command.has_nul_byte(), row.has_nul) << row.where;
  }
}

}  // namespace
}  // namespace qlp
