// Splitting standard input into lines: from a buffer, in every possible split,
// and from a descriptor with its read errors.
#include "session/line_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/exact_bytes.h"
#include "support/test_support.h"

namespace qlp {
namespace {

using test::ExactBytes;

using namespace std::chrono_literals;

const std::string kNotUtf8 = "stream did not contain valid UTF-8";

/// What a reader yields until end of input or its first error: each line, and
/// then "error: " + the message when it failed.
using Lines = std::vector<std::string>;

template <typename NextLine>
Lines drain(NextLine next_line) {
  Lines lines;
  for (;;) {
    Result<std::optional<std::string_view>> line = next_line();
    if (!line) {
      lines.push_back("error: " + line.error().message());
      return lines;
    }
    if (!line->has_value()) return lines;
    lines.emplace_back(**line);
  }
}

/// `bytes` handed to a splitter in the pieces that `cuts` (ascending offsets)
/// make, taking every complete line after each piece.
Lines split(std::string_view bytes, const std::vector<std::size_t>& cuts) {
  LineSplitter splitter;
  Lines lines;
  std::size_t from = 0;
  bool failed = false;
  auto take = [&](bool at_end) {
    for (const std::string& line : drain([&] { return splitter.next_line(at_end); })) {
      if (failed) return;
      lines.push_back(line);
      failed = line.starts_with("error: ");
    }
  };
  for (std::size_t cut : cuts) {
    splitter.append(ExactBytes(bytes.substr(from, cut - from)));
    from = cut;
    take(false);
  }
  splitter.append(ExactBytes(bytes.substr(from)));
  take(false);
  take(true);
  return lines;
}

/// `bytes` written into a pipe by another thread and read back with a LineReader.
Lines read_through_pipe(const std::string& bytes) {
  int ends[2];
  EXPECT_EQ(::pipe(ends), 0);
  std::thread writer([&] {
    for (std::size_t done = 0; done < bytes.size();) {
      ssize_t n = ::write(ends[1], bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(ends[1]);
  });
  LineReader reader(ends[0]);
  Lines lines = drain([&] { return reader.next_line(); });
  // Reading stopped early at an error: let the writer finish.
  while (drain([&] { return reader.next_line(); }).size() > 0) {
  }
  writer.join();
  ::close(ends[0]);
  return lines;
}

struct SplitCase {
  const char* name;
  std::string bytes;
  Lines lines;
};

const SplitCase kSplitCases[] = {
    {"empty stream", "", {}},
    {"line feeds", "a\nbc\n", {"a", "bc"}},
    {"empty lines are lines", "\n\n", {"", ""}},
    {"carriage return before the line feed", "a\r\n\r\n", {"a", ""}},
    {"only one carriage return is removed", "a\r\r\n", {"a\r"}},
    {"carriage return elsewhere stays", "\ra\rb\n", {"\ra\rb"}},
    {"last line without a line feed", "a\nlast", {"a", "last"}},
    {"last line's carriage return stays", "a\r", {"a\r"}},
    {"no other white space is stripped", " \t a \t\x0b\x0c\n", {" \t a \t\x0b\x0c"}},
    {"NUL bytes stay", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
    {"UTF-8 passes",
     "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\n",
     {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"}},
    {"lone continuation byte", "ok\n\x80\nnext\n", {"ok", "error: " + kNotUtf8}},
    {"truncated sequence", "\xc3\r\n", {"error: " + kNotUtf8}},
    {"overlong encoding", "\xc0\xaf\n", {"error: " + kNotUtf8}},
    {"surrogate", "\xed\xa0\x80\n", {"error: " + kNotUtf8}},
    {"past U+10FFFF", "\xf4\x90\x80\x80\n", {"error: " + kNotUtf8}},
    {"invalid last line without a line feed", "a\n\xff", {"a", "error: " + kNotUtf8}},
    // A sequence cut by the line feed is not rejoined across lines.
    {"sequence split by a line feed", "\xe2\x82\n\xac\n", {"error: " + kNotUtf8}},
};

TEST(LineSplitterTest, SplitsTheSameWhereverTheBytesArePartedOnce) {
  for (const SplitCase& c : kSplitCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(split(c.bytes, {}), c.lines);
    for (std::size_t cut = 0; cut <= c.bytes.size(); ++cut) {
      EXPECT_EQ(split(c.bytes, {cut}), c.lines) << "cut at " << cut;
    }
    std::vector<std::size_t> every_byte;
    for (std::size_t cut = 1; cut < c.bytes.size(); ++cut) every_byte.push_back(cut);
    EXPECT_EQ(split(c.bytes, every_byte), c.lines) << "byte by byte";
  }
}

TEST(LineReaderTest, ReadsTheSameLinesFromAPipe) {
  for (const SplitCase& c : kSplitCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(read_through_pipe(c.bytes), c.lines);
  }
}

TEST(LineSplitterTest, LineAfterAnInvalidOneIsStillServed) {
  LineSplitter splitter;
  splitter.append(ExactBytes("\xff\nnext\n"));
  Result<std::optional<std::string_view>> bad = splitter.next_line(false);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), kNotUtf8);
  Result<std::optional<std::string_view>> next = splitter.next_line(false);
  ASSERT_TRUE(next && next->has_value());
  EXPECT_EQ(**next, "next");
}

TEST(LineSplitterTest, IncompleteLineWaitsForItsLineFeedOrTheEnd) {
  LineSplitter splitter;
  splitter.append(ExactBytes("par"));
  Result<std::optional<std::string_view>> none = splitter.next_line(false);
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->has_value());
  // A carriage return at the end of one read and its line feed at the start
  // of the next still make one line ending.
  splitter.append(ExactBytes("tial\r"));
  none = splitter.next_line(false);
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->has_value());
  splitter.append(ExactBytes("\nrest"));
  Result<std::optional<std::string_view>> line = splitter.next_line(false);
  ASSERT_TRUE(line && line->has_value());
  EXPECT_EQ(**line, "partial");
  line = splitter.next_line(true);
  ASSERT_TRUE(line && line->has_value());
  EXPECT_EQ(**line, "rest");
  line = splitter.next_line(true);
  ASSERT_TRUE(line);
  EXPECT_FALSE(line->has_value());
}

TEST(LineReaderTest, LinesHaveNoLengthLimit) {
  // Longer than many reads together, with a carriage return and a line feed
  // somewhere past the first read.
  const std::string long_line(5 * 1000 * 1000 + 7, 'x');
  const std::string bytes = "short\n" + long_line + "\r\n" + long_line + "\nend";
  EXPECT_EQ(read_through_pipe(bytes), (Lines{"short", long_line, long_line, "end"}));
}

TEST(LineReaderTest, DescriptorThatIsNotOpenReadsAsEndOfInput) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ::close(ends[0]);
  ::close(ends[1]);
  LineReader reader(ends[0]);
  EXPECT_EQ(drain([&] { return reader.next_line(); }), Lines{});
}

TEST(LineReaderTest, OtherReadErrorsAreReturned) {
  int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  LineReader reader(fd);
  EXPECT_EQ(drain([&] { return reader.next_line(); }),
            Lines{"error: Is a directory (os error 21)"});
  ::close(fd);
}

std::atomic<int> interruptions{0};

void count_interruption(int) { interruptions.fetch_add(1); }

TEST(LineReaderTest, ReadInterruptedBySignalsIsRetried) {
  // No SA_RESTART: each signal makes the blocked read fail with EINTR.
  struct sigaction action {};
  action.sa_handler = count_interruption;
  sigemptyset(&action.sa_mask);
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  interruptions = 0;

  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const pthread_t reader_thread = ::pthread_self();
  std::thread interrupter([&] {
    const auto deadline = std::chrono::steady_clock::now() + test::scaled(10s);
    // Signals until many have landed: the reader reaches its read at once and
    // has nothing else to do, so nearly all of them interrupt it there.
    while (interruptions.load() < 20 && std::chrono::steady_clock::now() < deadline) {
      ::pthread_kill(reader_thread, SIGUSR1);
      std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(::write(ends[1], "after\n", 6), 6);
    ::close(ends[1]);
  });
  LineReader reader(ends[0]);
  Lines lines = drain([&] { return reader.next_line(); });
  interrupter.join();
  ::close(ends[0]);
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_GE(interruptions.load(), 20);
  EXPECT_EQ(lines, Lines{"after"});
}

}  // namespace
}  // namespace qlp
