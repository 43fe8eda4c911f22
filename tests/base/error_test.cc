#include "base/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "base/errno_table.h"

namespace qlp {
namespace {

TEST(ErrorTest, OnlyTheOutermostMessageIsTheMessageAndCausesChain) {
  Error inner("inner");
  Error middle = std::move(inner).wrap("middle");
  Error outer = Error("outer", middle);
  EXPECT_EQ(outer.message(), "outer");
  ASSERT_NE(outer.cause(), nullptr);
  EXPECT_EQ(outer.cause()->message(), "middle");
  ASSERT_NE(outer.cause()->cause(), nullptr);
  EXPECT_EQ(outer.cause()->cause()->message(), "inner");
  EXPECT_EQ(outer.cause()->cause()->cause(), nullptr);
}

TEST(ErrorTest, OsErrorDisplayFormCarriesTheNumber) {
  Error error = Error::os(ENOENT);
  EXPECT_EQ(error.message(), std::string(std::strerror(ENOENT)) + " (os error " +
                                 std::to_string(ENOENT) + ")");
  EXPECT_EQ(error.os_code(), ENOENT);
  EXPECT_EQ(Error("plain").os_code(), 0);
}

TEST(ErrorTest, AFailedCallKeepsItsNumberBehindItsContextAndThroughWraps) {
  Error error = Error::os(EBADF, "failed to ioctl(TIOCGWINSZ)");
  EXPECT_EQ(error.message(),
            "failed to ioctl(TIOCGWINSZ): Os { code: 9, kind: Uncategorized, message: \"Bad file "
            "descriptor\" }");
  EXPECT_EQ(error.os_code(), EBADF);
  Error wrapped = Error::os(EMFILE).wrap("dup of fd 7 failed");
  EXPECT_EQ(wrapped.message(), "dup of fd 7 failed");
  EXPECT_EQ(wrapped.os_code(), EMFILE);
  ASSERT_NE(wrapped.cause(), nullptr);
  EXPECT_EQ(wrapped.cause()->message(), os_error_display(EMFILE));
  EXPECT_EQ(Error("plain").wrap("outer").os_code(), 0);
}

TEST(ResultTest, HoldsValueOrError) {
  Result<int> good = 5;
  ASSERT_TRUE(good);
  EXPECT_EQ(*good, 5);
  Result<int> bad = Error("nope");
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().message(), "nope");
  Result<void> fine;
  EXPECT_TRUE(fine.has_value());
  Result<void> failed = Error("x");
  Result<void> copy = failed;
  EXPECT_EQ(copy.error().message(), "x");
}

TEST(ResultDeathTest, ValueOfAFailureIsAProgrammingFault) {
  Result<int> bad = Error("nope");
  EXPECT_DEATH((void)bad.value(), "value\\(\\) on a failed Result");
}

TEST(ErrnoTableTest, SymbolicNamesAndForms) {
  EXPECT_STREQ(errno_name(ENOENT), "ENOENT");
  EXPECT_STREQ(errno_name(EACCES), "EACCES");
  EXPECT_STREQ(errno_name(EAGAIN), "EAGAIN");
  EXPECT_STREQ(errno_name(ENOTSUP), "ENOTSUP");
  EXPECT_EQ(errno_name(99999), nullptr);
  EXPECT_EQ(errno_name_and_description(ENOENT), "ENOENT: No such file or directory");
  EXPECT_EQ(errno_name_and_description(EACCES), "EACCES: Permission denied");
  EXPECT_EQ(errno_name_and_description(EINVAL), "EINVAL: Invalid argument");
  EXPECT_EQ(os_error_debug(ENOENT),
            "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
  EXPECT_EQ(os_error_debug(EBADF),
            "Os { code: 9, kind: Uncategorized, message: \"Bad file descriptor\" }");
}

TEST(ErrnoTableTest, EveryNamedNumberHasADescription) {
  for (int number = 1; number < 200; ++number) {
    if (errno_name(number) == nullptr) continue;
    EXPECT_FALSE(strerror_text(number).empty()) << number;
  }
}

}  // namespace
}  // namespace qlp
