#include "frames/shared_stdout.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "frames/base64.h"
#include "support/test_support.h"

namespace qlp {
namespace {

using namespace std::chrono_literals;

class Pipe {
 public:
  Pipe() { EXPECT_EQ(::pipe(fds_), 0); }
  ~Pipe() {
    close_read();
    close_write();
  }
  int read_end() const { return fds_[0]; }
  int write_end() const { return fds_[1]; }
  void close_read() { close_end(0); }
  void close_write() { close_end(1); }

  /// Everything written so far, without waiting for more.
  std::string drain() {
    const int flags = ::fcntl(fds_[0], F_GETFL);
    ::fcntl(fds_[0], F_SETFL, flags | O_NONBLOCK);
    std::string bytes;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fds_[0], buffer, sizeof buffer)) > 0) bytes.append(buffer, n);
    ::fcntl(fds_[0], F_SETFL, flags);
    return bytes;
  }

 private:
  void close_end(int end) {
    if (fds_[end] >= 0) ::close(fds_[end]);
    fds_[end] = -1;
  }
  int fds_[2] = {-1, -1};
};

struct ChildRun {
  int wait_status = 0;
  std::string output;
};

// Runs `body` in a forked child whose standard output is a pipe, and returns what the child wrote
// there and how it ended. The child ends with _exit(body()), so nothing buffered in this process's
// stdio leaks into the pipe. A child still running at the deadline is killed and fails the test.
ChildRun run_in_child(const std::function<int()>& body) {
  Pipe pipe;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipe.write_end(), STDOUT_FILENO);
    ::close(pipe.read_end());
    ::close(pipe.write_end());
    ::_exit(body());
  }
  pipe.close_write();
  ChildRun run;
  const auto deadline = std::chrono::steady_clock::now() + test::scaled(30s);
  char buffer[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd poll_fd{pipe.read_end(), POLLIN, 0};
    if (left.count() <= 0 || ::poll(&poll_fd, 1, static_cast<int>(left.count())) == 0) {
      ADD_FAILURE() << "child still writing at the deadline";
      ::kill(pid, SIGKILL);
      break;
    }
    const ssize_t n = ::read(pipe.read_end(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    run.output.append(buffer, n);
  }
  EXPECT_EQ(::waitpid(pid, &run.wait_status, 0), pid);
  return run;
}

std::vector<std::string> split_lines(const std::string& output) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(output.substr(start, end + 1 - start));
  }
  if (start != output.size()) lines.push_back(output.substr(start));  // a torn last line
  return lines;
}

TEST(SharedStdoutTest, EmittedLinesAreTheFrameBytes) {
  Pipe pipe;
  auto out = SharedStdout::create(pipe.write_end());
  const std::string big_text = base64_encode(std::string(8192, '\xA5'));
  const OutputFrame frames[] = {
      {OutputFrame::Ready{}},
      {OutputFrame::Data{"SGk="}},
      {OutputFrame::Data{big_text}},
      {OutputFrame::Exit{4294967295u}},
      {OutputFrame::Error{"a \"quoted\"\tline\n"}},
  };
  for (const OutputFrame& frame : frames) {
    ASSERT_TRUE(emit_frame(*out, frame));
    EXPECT_EQ(pipe.drain(), frame_line(frame));
  }
  ASSERT_TRUE(emit_frame(*out, {OutputFrame::Ready{}}));
  EXPECT_EQ(pipe.drain(), "{\"type\":\"ready\"}\n");
}

TEST(SharedStdoutTest, DataChunksMatchTheDataFrameOfTheirBase64) {
  Pipe pipe;
  auto out = SharedStdout::create(pipe.write_end());
  for (std::size_t size : {0, 1, 2, 3, 4, 100, 8191, 8192}) {
    std::string chunk(size, '\0');
    for (std::size_t i = 0; i < size; ++i) chunk[i] = static_cast<char>(i * 7 + size);
    ASSERT_TRUE(emit_data_chunk(*out, chunk));
    const std::string text = base64_encode(chunk);
    EXPECT_EQ(pipe.drain(), frame_line({OutputFrame::Data{text}})) << size;
  }
  ASSERT_TRUE(emit_data_chunk(*out, "\x48\x69"));
  EXPECT_EQ(pipe.drain(), "{\"type\":\"data\",\"data\":\"SGk=\"}\n");
}

// A scripted write(2): each call takes the next step, and what it accepts goes to `sink`.
struct WriteScript {
  std::vector<ssize_t> steps;  // bytes to accept at most, or -errno
  std::size_t next = 0;
  std::string sink;
};
WriteScript* script = nullptr;

ssize_t scripted_write(int, const void* bytes, std::size_t count) {
  const ssize_t step =
      script->next < script->steps.size() ? script->steps[script->next++] : SSIZE_MAX;
  if (step < 0) {
    errno = static_cast<int>(-step);
    return -1;
  }
  const std::size_t accepted = std::min(static_cast<std::size_t>(step), count);
  script->sink.append(static_cast<const char*>(bytes), accepted);
  return static_cast<ssize_t>(accepted);
}

TEST(SharedStdoutTest, WriteAllContinuesPartialWritesAndRetriesInterruptions) {
  struct Row {
    std::vector<ssize_t> steps;
    std::string sink;
    std::string error;  // empty: success
  };
  const Row rows[] = {
      {{}, "0123456789", ""},
      {{3, 1, 4}, "0123456789", ""},
      {{-EINTR, 2, -EINTR, -EINTR}, "0123456789", ""},
      {{4, 0}, "0123", "failed to write whole buffer"},
      {{0}, "", "failed to write whole buffer"},
      {{5, -EPIPE, 5}, "01234", "Broken pipe (os error 32)"},
      {{-EBADF}, "", "Bad file descriptor (os error 9)"},
  };
  for (const Row& row : rows) {
    WriteScript current{row.steps, 0, {}};
    script = &current;
    Result<void> result = write_all(1, "0123456789", scripted_write);
    EXPECT_EQ(current.sink, row.sink);
    if (row.error.empty()) {
      EXPECT_TRUE(result);
    } else {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().message(), row.error);
    }
  }
  script = nullptr;
}

TEST(SharedStdoutTest, ClosedReaderGivesBrokenPipeAndDoesNotPoison) {
  struct sigaction ignore {}, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
  Pipe pipe;
  pipe.close_read();
  auto out = SharedStdout::create(pipe.write_end());
  for (int attempt = 0; attempt < 2; ++attempt) {
    Result<void> frame = emit_frame(*out, {OutputFrame::Ready{}});
    ASSERT_FALSE(frame);
    EXPECT_EQ(frame.error().message(), "Broken pipe (os error 32)");
    EXPECT_EQ(frame.error().os_code(), EPIPE);
    Result<void> chunk = emit_data_chunk(*out, "abc");
    ASSERT_FALSE(chunk);
    EXPECT_EQ(chunk.error().message(), "Broken pipe (os error 32)");
  }
  ::sigaction(SIGPIPE, &previous, nullptr);
}

TEST(SharedStdoutTest, UnwindingWhileWritingPoisonsOnlyThatHandle) {
  Pipe pipe;
  auto out = SharedStdout::create(pipe.write_end());
  auto other = SharedStdout::create(pipe.write_end());
  EXPECT_THROW((void)with_frame_lock(*out,
                                     [](int fd) -> Result<void> {
                                       EXPECT_EQ(::write(fd, "{\"ty", 4), 4);
                                       throw std::runtime_error("writer failed");
                                     }),
               std::runtime_error);
  EXPECT_EQ(pipe.drain(), "{\"ty");
  for (int attempt = 0; attempt < 2; ++attempt) {
    Result<void> frame = emit_frame(*out, {OutputFrame::Exit{0}});
    ASSERT_FALSE(frame);
    EXPECT_EQ(frame.error().message(), "stdout lock poisoned");
    Result<void> chunk = emit_data_chunk(*out, "abc");
    ASSERT_FALSE(chunk);
    EXPECT_EQ(chunk.error().message(), "stdout lock poisoned");
  }
  EXPECT_EQ(pipe.drain(), "");
  // The lock itself was released by the unwinding, and other handles stay usable.
  ASSERT_TRUE(emit_frame(*other, {OutputFrame::Exit{5}}));
  EXPECT_EQ(pipe.drain(), "{\"type\":\"exit\",\"code\":5}\n");
}

TEST(SharedStdoutTest, EmitErrorWritesWhenTheHandleIsPoisonedOrGone) {
  ChildRun run = run_in_child([] {
    auto out = SharedStdout::create();
    try {
      (void)with_frame_lock(*out, [](int) -> Result<void> { throw std::bad_alloc(); });
      return 2;
    } catch (const std::bad_alloc&) {
    }
    Result<void> frame = emit_frame(*out, {OutputFrame::Ready{}});
    if (frame || frame.error().message() != "stdout lock poisoned") return 3;
    if (!emit_error("after poisoning")) return 4;
    out.reset();
    if (!emit_error("after release \"x\"")) return 5;
    return 0;
  });
  ASSERT_TRUE(WIFEXITED(run.wait_status));
  EXPECT_EQ(WEXITSTATUS(run.wait_status), 0);
  EXPECT_EQ(run.output,
            "{\"type\":\"error\",\"message\":\"after poisoning\"}\n"
            "{\"type\":\"error\",\"message\":\"after release \\\"x\\\"\"}\n");
}

// Lines far larger than the pipe's atomic-write size, so that the kernel would tear and mix them
// if two writers ever overlapped.
struct BigLines {
  std::string chunk = std::string(48 * 1024, 'c');
  std::string text = base64_encode(std::string(40 * 1024, 't'));
  std::string message = std::string(70 * 1024, 'm');
  std::string chunk_line = frame_line({OutputFrame::Data{base64_encode(chunk)}});
  std::string text_line = frame_line({OutputFrame::Data{text}});
  std::string exit_line = frame_line({OutputFrame::Exit{77}});
  std::string error_line = frame_line({OutputFrame::Error{message}});
};

TEST(SharedStdoutTest, FramesFromManyThreadsComeOutWhole) {
  constexpr int kRounds = 25;
  const BigLines big;
  ChildRun run = run_in_child([&] {
    auto out = SharedStdout::create();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
      threads.emplace_back([&, shared = out] {
        for (int i = 0; i < kRounds; ++i) {
          if (!emit_data_chunk(*shared, big.chunk)) ++failures;
          if (!emit_frame(*shared, {OutputFrame::Data{big.text}})) ++failures;
          if (!emit_frame(*shared, {OutputFrame::Exit{77}})) ++failures;
        }
      });
    }
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        if (!emit_error(big.message)) ++failures;
      }
    });
    for (auto& thread : threads) thread.join();
    return failures.load();
  });
  ASSERT_TRUE(WIFEXITED(run.wait_status));
  EXPECT_EQ(WEXITSTATUS(run.wait_status), 0);
  std::map<std::string, int> counts;
  for (const std::string& line : split_lines(run.output)) {
    if (line == big.chunk_line || line == big.text_line || line == big.exit_line ||
        line == big.error_line) {
      ++counts[line];
    } else {
      ADD_FAILURE() << "torn or mixed line of " << line.size() << " bytes: "
                    << line.substr(0, 60);
    }
  }
  EXPECT_EQ(counts[big.chunk_line], 3 * kRounds);
  EXPECT_EQ(counts[big.text_line], 3 * kRounds);
  EXPECT_EQ(counts[big.exit_line], 3 * kRounds);
  EXPECT_EQ(counts[big.error_line], kRounds);
}

TEST(SharedStdoutTest, ExitUnderTheLockWhileOthersFloodLeavesOnlyWholeLines) {
  const BigLines big;
  ChildRun run = run_in_child([&] {
    auto out = SharedStdout::create();
    std::atomic<int> written{0};
    for (int t = 0; t < 3; ++t) {
      std::thread([&, shared = out] {
        for (;;) {
          if (emit_data_chunk(*shared, big.chunk)) ++written;
        }
      }).detach();
    }
    // Neither exit handlers nor destructors may run: they could write under the flooding threads.
    std::atexit([] { (void)!::write(STDOUT_FILENO, "atexit ran\n", 11); });
    const auto deadline = std::chrono::steady_clock::now() + test::scaled(20s);
    while (written.load() < 10) {
      if (std::chrono::steady_clock::now() > deadline) return 3;
      std::this_thread::yield();
    }
    detail::exit_under_frame_lock(7, {});
  });
  ASSERT_TRUE(WIFEXITED(run.wait_status));
  EXPECT_EQ(WEXITSTATUS(run.wait_status), 7);
  ASSERT_FALSE(run.output.empty());
  EXPECT_EQ(run.output.back(), '\n');
  std::size_t whole = 0;
  for (const std::string& line : split_lines(run.output)) {
    if (line == big.chunk_line) {
      ++whole;
    } else {
      ADD_FAILURE() << "unexpected line of " << line.size() << " bytes: " << line.substr(0, 60);
    }
  }
  EXPECT_GE(whole, 10u);
}

}  // namespace
}  // namespace qlp
