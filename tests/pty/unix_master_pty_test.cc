#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "pty/unix_pty.h"
#include "terminal_test_support.h"

namespace qlp {
namespace {

using test::read_until;

constexpr int kClosedFd = 1000000;

bool is_cloexec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

class UnixMasterPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QLP_SKIP_WITHOUT_TERMINALS();
    auto opened = native_pty_system()->openpty(PtySize{24, 80, 0, 0});
    ASSERT_TRUE(opened) << opened.error().message();
    pair_ = std::move(opened).value();
  }

  int slave_fd() { return pair_.slave->downcast<UnixSlavePty>()->fd().as_raw_fd(); }

  /// The slave's own reader, sharing its descriptor.
  PtyFd slave_reader() {
    return PtyFd(*pair_.slave->downcast<UnixSlavePty>()->fd().fd().try_clone());
  }

  /// Raw mode on the slave, so that bytes arrive as typed, with `veof` as end-of-file character.
  void make_slave_raw(cc_t veof) {
    struct termios attributes = {};
    ASSERT_EQ(tcgetattr(slave_fd(), &attributes), 0);
    cfmakeraw(&attributes);
    attributes.c_cc[VEOF] = veof;
    attributes.c_cc[VMIN] = 1;
    attributes.c_cc[VTIME] = 0;
    ASSERT_EQ(tcsetattr(slave_fd(), TCSANOW, &attributes), 0);
  }

  PtyPair pair_;
};

TEST_F(UnixMasterPtyTest, EveryDescriptorIsCloseOnExecAndEachReaderItsOwn) {
  int master = *pair_.master->as_raw_fd();
  EXPECT_TRUE(is_cloexec(master));
  EXPECT_TRUE(is_cloexec(slave_fd()));
  auto first = pair_.master->try_clone_reader();
  auto second = pair_.master->try_clone_reader();
  ASSERT_TRUE(first && second);
  std::vector<int> fds = {master, slave_fd(), (*first)->as_raw_fd(), (*second)->as_raw_fd()};
  std::sort(fds.begin(), fds.end());
  EXPECT_EQ(std::adjacent_find(fds.begin(), fds.end()), fds.end());
  EXPECT_TRUE(is_cloexec((*first)->as_raw_fd()));
  EXPECT_TRUE(is_cloexec((*second)->as_raw_fd()));
}

TEST_F(UnixMasterPtyTest, ResizeThenGetSizeGivesTheSameNumbers) {
  const PtySize sizes[] = {{24, 80, 0, 0},
                           {0, 0, 0, 0},
                           {1, 1, 1, 1},
                           {65535, 65535, 65535, 65535},
                           {50, 132, 800, 600}};
  EXPECT_EQ(*pair_.master->get_size(), (PtySize{24, 80, 0, 0}));
  for (const PtySize& size : sizes) {
    ASSERT_TRUE(pair_.master->resize(size));
    auto got = pair_.master->get_size();
    ASSERT_TRUE(got) << got.error().message();
    EXPECT_EQ(*got, size) << size.rows << "x" << size.cols;
  }
}

TEST(UnixPtySystemTest, AllZeroSizeOpensAndReadsBackAsZeros) {
  QLP_SKIP_WITHOUT_TERMINALS();
  auto pair = native_pty_system()->openpty(PtySize{0, 0, 0, 0});
  ASSERT_TRUE(pair) << pair.error().message();
  EXPECT_EQ(*pair->master->get_size(), (PtySize{0, 0, 0, 0}));
}

TEST_F(UnixMasterPtyTest, WriterTypesIntoTheTerminal) {
  make_slave_raw(4);
  auto writer = pair_.master->take_writer();
  ASSERT_TRUE(writer) << writer.error().message();
  ASSERT_TRUE((*writer)->write_all("typed "));
  auto one = (*writer)->write("x");
  ASSERT_TRUE(one);
  EXPECT_EQ(*one, 1u);
  const std::string_view buffers[] = {"", "first", "second"};
  auto vectored = dynamic_cast<UnixMasterWriter&>(**writer).write_vectored(buffers);
  ASSERT_TRUE(vectored);
  EXPECT_EQ(*vectored, 5u);
  EXPECT_FALSE(dynamic_cast<UnixMasterWriter&>(**writer).is_write_vectored());
  EXPECT_TRUE((*writer)->flush());
  PtyFd slave = slave_reader();
  EXPECT_EQ(read_until(slave, "typed xfirst"), "typed xfirst");
}

TEST_F(UnixMasterPtyTest, ReleasingTheWriterSendsNewlineAndTheEndOfFileCharacter) {
  struct Row {
    cc_t veof;
    std::string expected;
  };
  const Row rows[] = {
      {4, std::string("\n\x04") + "after"}, {0x1a, std::string("\n\x1a") + "after"}, {0, "after"}};
  PtyFd slave = slave_reader();
  for (const Row& row : rows) {
    make_slave_raw(row.veof);
    int master = *pair_.master->as_raw_fd();
    // A writer per row on its own duplicate, as take_writer makes it (which works once per master).
    {
      UnixMasterWriter writer(
          PtyFd(FileDescriptor(OwnedHandle(fcntl(master, F_DUPFD_CLOEXEC, 3)))));
    }
    // Written after the release: whatever the release sent arrives before it.
    ASSERT_EQ(write(master, "after", 5), 5);
    EXPECT_EQ(read_until(slave, "after"), row.expected) << int(row.veof);
  }
}

TEST_F(UnixMasterPtyTest, WriterIsTakenOnceEvenWhenTheFirstTakeFails) {
  ASSERT_TRUE(pair_.master->take_writer());
  auto again = pair_.master->take_writer();
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().message(), "cannot take writer more than once");

  UnixMasterPty broken{PtyFd(FileDescriptor(OwnedHandle(kClosedFd))), std::nullopt};
  auto first = broken.take_writer();
  ASSERT_FALSE(first);
  EXPECT_EQ(first.error().message(), "dup of fd 1000000 failed");
  ASSERT_NE(first.error().cause(), nullptr);
  EXPECT_EQ(first.error().cause()->message(), "Bad file descriptor (os error 9)");
  auto second = broken.take_writer();
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().message(), "cannot take writer more than once");
  auto reader = broken.try_clone_reader();
  ASSERT_FALSE(reader);
  EXPECT_EQ(reader.error().message(), "dup of fd 1000000 failed");
}

TEST_F(UnixMasterPtyTest, QueriesAndConcreteTypes) {
  ASSERT_TRUE(pair_.master->as_raw_fd().has_value());
  EXPECT_NE(fcntl(*pair_.master->as_raw_fd(), F_GETFD), -1);
  EXPECT_TRUE(pair_.master->get_termios().has_value());
  // No session has this terminal yet, so there is no foreground process group.
  EXPECT_EQ(pair_.master->process_group_leader(), std::nullopt);
  EXPECT_NE(native_pty_system()->downcast<UnixPtySystem>(), nullptr);
  EXPECT_NE(pair_.slave->downcast<UnixSlavePty>(), nullptr);

  UnixMasterPty broken{PtyFd(FileDescriptor(OwnedHandle(kClosedFd))), std::nullopt};
  EXPECT_EQ(broken.get_termios().has_value(), false);
  EXPECT_EQ(broken.tty_name(), std::nullopt);
  auto resized = broken.resize(PtySize{});
  ASSERT_FALSE(resized);
  EXPECT_EQ(resized.error().message(),
            "failed to ioctl(TIOCSWINSZ): Os { code: 9, kind: Uncategorized, message: \"Bad file "
            "descriptor\" }");
}

}  // namespace
}  // namespace qlp
