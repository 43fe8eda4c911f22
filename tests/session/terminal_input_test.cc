#include "session/terminal_input.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace qlp {
namespace {

/// A terminal's writing side whose writes answer from a script: a step is a count of bytes
/// taken or an OS error. Polling sees /dev/null, always writable and never hung up.
class ScriptedSink : public ByteSink {
 public:
  struct Step {
    std::size_t taken = 0;
    int error = 0;
  };
  explicit ScriptedSink(std::vector<Step> steps)
      : steps_(std::move(steps)), fd_(::open("/dev/null", O_WRONLY | O_CLOEXEC)) {}
  ~ScriptedSink() override { ::close(fd_); }

  Result<std::size_t> write(std::string_view bytes) override {
    ++writes;
    if (next_ == steps_.size()) return bytes.size();
    const Step step = steps_[next_++];
    if (step.error != 0) return Error::os(step.error);
    return std::min(step.taken, bytes.size());
  }
  Result<void> write_all(std::string_view) override { return {}; }
  Result<void> flush() override { return {}; }
  int as_raw_fd() const override { return fd_; }

  int writes = 0;

 private:
  std::vector<Step> steps_;
  std::size_t next_ = 0;
  const int fd_;
};

// The program's end shows as EIO on a write under way: that input is dropped and the session
// goes on. Every other failure ends it, with the OS error as the parent's message.
TEST(WriteInputTest, OnlyTheTerminalsEndIsDroppedEveryOtherFailureIsFatal) {
  struct Row {
    const char* what;
    std::vector<ScriptedSink::Step> steps;
    const char* message;  ///< nullptr: success.
    int writes;
  };
  const std::string input(10000, 'i');
  const Row rows[] = {
      {"all taken", {}, nullptr, 3},
      {"short writes continue", {{100, 0}, {1, 0}}, nullptr, 5},
      {"interrupted write is retried", {{0, EINTR}}, nullptr, 4},
      {"terminal gone at once", {{0, EIO}}, nullptr, 1},
      {"terminal gone midway", {{4096, 0}, {0, EIO}}, nullptr, 2},
      {"broken pipe", {{0, EPIPE}}, "Broken pipe (os error 32)", 1},
      {"bad descriptor", {{4096, 0}, {0, EBADF}}, "Bad file descriptor (os error 9)", 2},
      {"full terminal is waited on", {{0, EAGAIN}, {0, EAGAIN}}, nullptr, 5},
      {"no room", {{0, ENOSPC}}, "No space left on device (os error 28)", 1},
      {"nothing taken", {{0, 0}}, "failed to write whole buffer", 1},
  };
  for (const Row& row : rows) {
    ScriptedSink sink(row.steps);
    Result<void> wrote = write_input(sink, input);
    if (row.message == nullptr) {
      EXPECT_TRUE(wrote) << row.what << ": " << wrote.error().message();
    } else {
      ASSERT_FALSE(wrote) << row.what;
      EXPECT_EQ(wrote.error().message(), row.message) << row.what;
    }
    EXPECT_EQ(sink.writes, row.writes) << row.what;
  }
}

}  // namespace
}  // namespace qlp
