#include "command/shell_warnings.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace qlp {
namespace {

TEST(ShellWarningsTest, TextsQuoteTheShellAndNameTheError) {
  EXPECT_EQ(passwd_shell_not_utf8_warning("invalid utf-8 byte sequence of 1 byte at offset 4"),
            "passwd database shell could not be represented as utf-8: invalid utf-8 byte "
            "sequence of 1 byte at offset 4, falling back to /bin/sh");
  EXPECT_EQ(passwd_shell_not_executable_warning("/bin/\"odd\"\tsh", EACCES),
            "passwd database shell=\"/bin/\\\"odd\\\"\\tsh\" which is not executable (EACCES: "
            "Permission denied), falling back to /bin/sh");
  EXPECT_EQ(env_shell_not_executable_warning("/no/such\xFF", ENOENT),
            "$SHELL -> \"/no/such\\xFF\" which is not executable (ENOENT: No such file or "
            "directory), falling back to password db lookup");
}

}  // namespace
}  // namespace qlp
