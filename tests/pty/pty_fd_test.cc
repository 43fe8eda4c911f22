#include "pty/pty_fd.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "pty/unix_pty.h"
#include "terminal_test_support.h"

namespace qlp {
namespace {

constexpr int kClosedFd = 1000000;

/// A PtyFd on the read end of a pipe whose write end is returned.
PtyFd pipe_reader(OwnedHandle* write_end) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  write_end->reset(fds[1]);
  return PtyFd(FileDescriptor(OwnedHandle(fds[0])));
}

TEST(PtyFdTest, EioIsEndOfFileOtherErrorsPassUnchanged) {
  QLP_SKIP_WITHOUT_TERMINALS();
  auto pair = native_pty_system()->openpty(PtySize{});
  ASSERT_TRUE(pair) << pair.error().message();
  auto reader = pair->master->try_clone_reader();
  ASSERT_TRUE(reader);
  // With the only holder of the slave gone, the master reports a hang-up
  // (EIO on Linux), which the reader turns into end of file.
  pair->slave.reset();
  std::uint8_t buffer[16];
  auto n = (*reader)->read(buffer);
  ASSERT_TRUE(n) << n.error().message();
  EXPECT_EQ(*n, 0u);

  PtyFd closed{FileDescriptor(OwnedHandle(kClosedFd))};
  auto failed = closed.read(buffer);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message(), "Bad file descriptor (os error 9)");
  EXPECT_EQ(failed.error().os_code(), EBADF);
}

TEST(PtyFdTest, ReadFormsBuiltOnOneRead) {
  OwnedHandle write_end;
  PtyFd reader = pipe_reader(&write_end);
  FileDescriptor writer(std::move(write_end));
  ASSERT_TRUE(writer.write_all("hello world"));

  std::uint8_t skipped[1];
  std::uint8_t first[5];
  const std::span<std::uint8_t> buffers[] = {std::span<std::uint8_t>(skipped, 0), first};
  auto n = reader.read_vectored(buffers);
  ASSERT_TRUE(n);
  EXPECT_EQ(std::string(first, first + *n), "hello");

  std::uint8_t exact[3];
  ASSERT_TRUE(reader.read_exact(exact));
  EXPECT_EQ(std::string(exact, exact + 3), " wo");

  // Release the writer so the rest ends with end of file.
  { FileDescriptor gone(std::move(writer)); }
  std::vector<std::uint8_t> rest = {'>'};
  auto added = reader.read_to_end(rest);
  ASSERT_TRUE(added);
  EXPECT_EQ(*added, 3u);
  EXPECT_EQ(std::string(rest.begin(), rest.end()), ">rld");

  auto short_read = reader.read_exact(exact);
  ASSERT_FALSE(short_read);
  EXPECT_EQ(short_read.error().message(), "failed to fill whole buffer");
}

TEST(PtyFdTest, SizeOperationsNameTheIoctlAndDebugFormOnFailure) {
  PtyFd closed{FileDescriptor(OwnedHandle(kClosedFd))};
  const std::string ebadf = "Os { code: 9, kind: Uncategorized, message: \"Bad file descriptor\" }";
  auto set = closed.set_size(PtySize{});
  ASSERT_FALSE(set);
  EXPECT_EQ(set.error().message(), "failed to ioctl(TIOCSWINSZ): " + ebadf);
  auto get = closed.get_size();
  ASSERT_FALSE(get);
  EXPECT_EQ(get.error().message(), "failed to ioctl(TIOCGWINSZ): " + ebadf);
}

}  // namespace
}  // namespace qlp
