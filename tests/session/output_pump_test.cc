// The output pump and exit watcher over scripted readers and children.
#include "session/output_pump.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <string>
#include <thread>

#include "support/bridge_process.h"
#include "support/test_support.h"

namespace qlp {
namespace {

using namespace std::chrono_literals;

/// A reader that replays a script: a chunk of bytes, or an OS error number.
class ScriptedReader : public ByteSource {
 public:
  struct Step {
    std::string bytes;
    int error = 0;
  };
  /// `max_request` outlives the reader, which the pump releases when it ends.
  ScriptedReader(std::deque<Step> steps, std::size_t* max_request = nullptr)
      : steps_(std::move(steps)), max_request_(max_request) {}
  Result<std::size_t> read(std::span<std::uint8_t> buffer) override {
    if (max_request_) *max_request_ = std::max(*max_request_, buffer.size());
    if (steps_.empty()) return std::size_t{0};
    Step step = std::move(steps_.front());
    steps_.pop_front();
    if (step.error != 0) return Error::os(step.error);
    std::size_t n = std::min(step.bytes.size(), buffer.size());
    std::copy_n(step.bytes.data(), n, buffer.data());
    if (n < step.bytes.size()) steps_.push_front({step.bytes.substr(n)});
    return n;
  }
  int as_raw_fd() const override { return -1; }

 private:
  std::deque<Step> steps_;
  std::size_t* max_request_;
};

/// Everything written to a pipe-backed SharedStdout, read back as lines.
class CapturedOutput {
 public:
  CapturedOutput() {
    int ends[2];
    EXPECT_EQ(::pipe(ends), 0);
    read_end_ = ends[0];
    write_end_ = ends[1];
    ::fcntl(write_end_, F_SETPIPE_SZ, 1 << 20);
    out = SharedStdout::create(write_end_);
  }
  ~CapturedOutput() {
    ::close(read_end_);
    if (write_end_ != -1) ::close(write_end_);
  }
  std::vector<test::ParsedFrame> frames() {
    ::close(write_end_);
    write_end_ = -1;
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = ::read(read_end_, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    std::vector<test::ParsedFrame> result;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
      result.push_back(test::parse_output_line(text.substr(start, end - start)));
    }
    return result;
  }
  std::shared_ptr<SharedStdout> out;

 private:
  int read_end_ = -1;
  int write_end_ = -1;
};

TEST(OutputPumpTest, OneFramePerReadRetryingInterruptedReadsUntilEndOfStream) {
  std::string big(20000, 'x');
  std::size_t max_request = 0;
  auto reader = std::make_unique<ScriptedReader>(std::deque<ScriptedReader::Step>{
      {"a"}, {"", EINTR}, {"bc"}, {big}, {"", EINTR}, {"tail"}}, &max_request);
  CapturedOutput captured;
  auto progress = std::make_shared<PumpProgress>();
  pump_output(std::move(reader), captured.out, progress);
  EXPECT_TRUE(progress->wait_for_end(0ms, 0ms));
  EXPECT_EQ(max_request, 8192u);
  std::vector<test::ParsedFrame> frames = captured.frames();
  std::vector<std::size_t> sizes;
  std::string joined;
  for (const auto& frame : frames) {
    ASSERT_EQ(frame.type, "data") << frame.line;
    sizes.push_back(frame.data.size());
    joined += frame.data;
  }
  EXPECT_EQ(sizes, (std::vector<std::size_t>{1, 2, 8192, 8192, 3616, 4}));
  EXPECT_EQ(joined, "abc" + big + "tail");
  EXPECT_EQ(frames[0].line, "{\"type\":\"data\",\"data\":\"YQ==\"}");
}

// Linux can report a terminal's end while its last output is still on the
// way, and hand that output to a later read: an end only counts once a few
// more reads find nothing.
TEST(OutputPumpTest, OutputAfterAReportedEndIsStillForwarded) {
  auto reader = std::make_unique<ScriptedReader>(std::deque<ScriptedReader::Step>{
      {"first"}, {""}, {""}, {"", EINTR}, {"late"}, {""}, {"later"}});
  CapturedOutput captured;
  auto progress = std::make_shared<PumpProgress>();
  pump_output(std::move(reader), captured.out, progress);
  EXPECT_TRUE(progress->wait_for_end(0ms, 0ms));
  std::string joined;
  for (const auto& frame : captured.frames()) joined += frame.data;
  EXPECT_EQ(joined, "firstlatelater");
}

TEST(OutputPumpTest, AnyOtherReadErrorEndsThePumpSilently) {
  auto reader = std::make_unique<ScriptedReader>(
      std::deque<ScriptedReader::Step>{{"before"}, {"", EBADF}, {"never"}});
  CapturedOutput captured;
  auto progress = std::make_shared<PumpProgress>();
  pump_output(std::move(reader), captured.out, progress);
  EXPECT_TRUE(progress->wait_for_end(0ms, 0ms));
  std::vector<test::ParsedFrame> frames = captured.frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].data, "before");
}

TEST(PumpProgressTest, DrainStopsAtEndAtQuietOrAtTheLimit) {
  using Clock = std::chrono::steady_clock;
  {
    PumpProgress progress;  // never ends, never reads: quiet after 50 ms
    auto start = Clock::now();
    EXPECT_FALSE(progress.wait_for_end(50ms, 5000ms));
    EXPECT_LT(Clock::now() - start, test::scaled(2000ms));
  }
  {
    PumpProgress progress;  // keeps reading: only the limit ends the wait
    std::atomic<bool> stop{false};
    std::thread reader([&] {
      while (!stop) {
        progress.note_read();
        std::this_thread::sleep_for(5ms);
      }
    });
    auto start = Clock::now();
    EXPECT_FALSE(progress.wait_for_end(50ms, 300ms));
    EXPECT_GE(Clock::now() - start, 300ms);
    stop = true;
    reader.join();
  }
  {
    // Nobody else holds the terminal: a pump that is slow to get the CPU is
    // not a quiet terminal, so only its end or the limit stop the wait.
    PumpProgress progress;
    auto start = Clock::now();
    EXPECT_FALSE(progress.wait_for_end(50ms, 300ms, [] { return false; }));
    EXPECT_GE(Clock::now() - start, 300ms);
    std::thread ender([&] {
      std::this_thread::sleep_for(150ms);
      progress.note_end();
    });
    EXPECT_TRUE(progress.wait_for_end(50ms, test::scaled(5000ms), [] { return false; }));
    ender.join();
  }
  {
    PumpProgress progress;  // ends while waited for
    std::thread ender([&] {
      std::this_thread::sleep_for(20ms);
      progress.note_end();
    });
    EXPECT_TRUE(progress.wait_for_end(test::scaled(5000ms), test::scaled(5000ms)));
    ender.join();
  }
}

class ScriptedChild : public Child {
 public:
  explicit ScriptedChild(Result<ExitStatus> status) : status_(std::move(status)) {}
  std::string debug_string() const override { return "ScriptedChild"; }
  Result<void> kill() override { return {}; }
  std::unique_ptr<ChildKiller> clone_killer() const override { return nullptr; }
  Result<std::optional<ExitStatus>> try_wait() override { return std::optional<ExitStatus>(); }
  Result<ExitStatus> wait() override { return status_; }
  std::optional<std::uint32_t> process_id() const override { return 1; }

 private:
  Result<ExitStatus> status_;
};

TEST(WatchExitTest, WritesTheExitCodeOrOneWhenWaitingFails) {
  struct Row {
    Result<ExitStatus> status;
    std::string line;
  };
  const Row rows[] = {
      {ExitStatus{3, std::nullopt}, "{\"type\":\"exit\",\"code\":3}"},
      {ExitStatus{1, std::string("Hangup")}, "{\"type\":\"exit\",\"code\":1}"},
      {ExitStatus{4294967295u, std::nullopt}, "{\"type\":\"exit\",\"code\":4294967295}"},
      {Error::os(ECHILD), "{\"type\":\"exit\",\"code\":1}"},
  };
  for (const Row& row : rows) {
    CapturedOutput captured;
    watch_exit(std::make_unique<ScriptedChild>(row.status), captured.out);
    std::vector<test::ParsedFrame> frames = captured.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].line, row.line);
  }
}

}  // namespace
}  // namespace qlp
