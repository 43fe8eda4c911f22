#include "pty/owned_handle.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "pty/descriptor_error.h"

namespace qlp {
namespace {

// A number no test process has open; operations on it fail with EBADF.
constexpr int kClosedFd = 1000000;

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }
bool is_cloexec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

/// A fresh descriptor without close-on-exec.
OwnedHandle plain_descriptor() { return OwnedHandle(dup(1)); }

TEST(OwnedHandleTest, DuplicatesAreNewDescriptorsAndCloseOnExec) {
  OwnedHandle original = plain_descriptor();
  ASSERT_FALSE(is_cloexec(original.as_raw_fd()));
  struct Row {
    const char* how;
    descriptor::Result<OwnedHandle> (OwnedHandle::*duplicate)() const;
  };
  for (const Row& row : {Row{"try_clone", &OwnedHandle::try_clone},
                         Row{"non_atomic_dup", &OwnedHandle::non_atomic_dup}}) {
    auto copy = (original.*row.duplicate)();
    ASSERT_TRUE(copy) << row.how;
    EXPECT_NE(copy->as_raw_fd(), original.as_raw_fd()) << row.how;
    EXPECT_TRUE(is_cloexec(copy->as_raw_fd())) << row.how;
  }
  EXPECT_FALSE(is_cloexec(original.as_raw_fd()));
}

TEST(OwnedHandleTest, ReleaseClosesAndHandOverDoesNot) {
  int fd;
  {
    OwnedHandle handle = plain_descriptor();
    fd = handle.as_raw_fd();
    OwnedHandle moved(std::move(handle));
    EXPECT_FALSE(handle.valid());
    EXPECT_EQ(moved.as_raw_fd(), fd);
  }
  EXPECT_FALSE(is_open(fd));

  OwnedHandle handle = plain_descriptor();
  fd = handle.acquire();
  EXPECT_FALSE(handle.valid());
  EXPECT_TRUE(is_open(fd));
  handle.reset(fd);
  handle.reset();
  EXPECT_FALSE(is_open(fd));
}

TEST(OwnedHandleDeathTest, EmptyHandleAndStandardStreamsAreProgrammingFaults) {
  EXPECT_DEATH((void)OwnedHandle().as_raw_fd(), "descriptor of an empty OwnedHandle");
  EXPECT_DEATH({ OwnedHandle stdout_handle(1); },
               "an OwnedHandle must not close descriptor 0, 1 or 2");
}

TEST(OwnedHandleTest, FailuresCarryTheirKindAndTheOsError) {
  OwnedHandle closed(kClosedFd);
  struct Row {
    descriptor::Result<OwnedHandle> result;
    descriptor::ErrorKind kind;
    const char* text;
  };
  Row rows[] = {
      {closed.try_clone(), descriptor::ErrorKind::Dup, "dup of fd 1000000 failed"},
      {closed.non_atomic_dup(), descriptor::ErrorKind::Dup, "dup of fd 1000000 failed"},
  };
  for (const Row& row : rows) {
    ASSERT_FALSE(row.result);
    EXPECT_EQ(row.result.error().kind(), row.kind);
    EXPECT_EQ(row.result.error().fd(), kClosedFd);
    EXPECT_EQ(row.result.error().source(), EBADF);
    EXPECT_EQ(row.result.error().to_string(), row.text);
  }
  auto set = closed.cloexec();
  ASSERT_FALSE(set);
  EXPECT_EQ(set.error().kind(), descriptor::ErrorKind::Fcntl);
  EXPECT_EQ(set.error().source(), EBADF);
}

TEST(DescriptorErrorTest, DisplayTextsAndSessionErrorForm) {
  struct Row {
    descriptor::Error error;
    const char* text;
  };
  const Row rows[] = {
      {descriptor::Error::dup(-3, EBADF), "dup of fd -3 failed"},
      {descriptor::Error::dup(std::int64_t{1} << 40, EMFILE), "dup of fd 1099511627776 failed"},
      {descriptor::Error::fcntl(EBADF), "fcntl read failed"},
      {descriptor::Error::cloexec(EPERM), "failed to set cloexec"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.error.to_string(), row.text);
    Error error = row.error.into_error();
    EXPECT_EQ(error.message(), row.text);
    ASSERT_NE(error.cause(), nullptr);
    EXPECT_EQ(error.cause()->message(), os_error_display(row.error.source()));
    EXPECT_EQ(error.cause()->os_code(), row.error.source());
  }
}

TEST(CloexecTest, SetsTheFlagOrNamesTheFailedStep) {
  OwnedHandle handle = plain_descriptor();
  ASSERT_TRUE(cloexec(handle.as_raw_fd()));
  EXPECT_TRUE(is_cloexec(handle.as_raw_fd()));

  auto failed = cloexec(kClosedFd);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message(),
            "fcntl to read flags failed: Os { code: 9, kind: Uncategorized, message: \"Bad file "
            "descriptor\" }");
}

}  // namespace
}  // namespace qlp
