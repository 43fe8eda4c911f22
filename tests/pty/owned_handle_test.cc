#include "pty/owned_handle.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>


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
    Result<OwnedHandle> (OwnedHandle::*duplicate)() const;
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

TEST(OwnedHandleTest, FailuresNameTheDescriptorAndKeepTheOsError) {
  OwnedHandle closed(kClosedFd);
  for (auto duplicate : {&OwnedHandle::try_clone, &OwnedHandle::non_atomic_dup}) {
    Result<OwnedHandle> result = (closed.*duplicate)();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "dup of fd 1000000 failed");
    EXPECT_EQ(result.error().os_code(), EBADF);
    ASSERT_NE(result.error().cause(), nullptr);
    EXPECT_EQ(result.error().cause()->message(), os_error_display(EBADF));
  }
}

TEST(SetCloexecTest, SetsTheFlagOrNamesTheFailedStep) {
  OwnedHandle handle = plain_descriptor();
  ASSERT_TRUE(set_cloexec(handle.as_raw_fd()));
  EXPECT_TRUE(is_cloexec(handle.as_raw_fd()));

  auto failed = set_cloexec(kClosedFd);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message(),
            "fcntl to read flags failed: Os { code: 9, kind: Uncategorized, message: \"Bad file "
            "descriptor\" }");
}

}  // namespace
}  // namespace qlp
