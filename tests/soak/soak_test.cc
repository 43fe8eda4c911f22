// The soak run: many sessions of random frames against children that echo,
// flood, exit early or ignore the hang-up, one after another and fifty at
// once, and one long session whose descriptors and memory must stay flat.
// QLP_SOAK_SCALE sizes it: 1.0 is the CI size; 10 reaches the full size
// (3000 sessions in sequence, 500 fifty at a time, 100000 input frames and
// about a gigabyte of output in the long session).
#include <dirent.h>
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "stress/session_checks.h"
#include "support/bridge_process.h"
#include "support/test_support.h"

namespace qlp::test {
namespace {

using std::chrono::milliseconds;
using namespace std::chrono_literals;

constexpr long kSequentialPerScale = 300;
constexpr long kAtOnce = 50;
constexpr long kLongFramesPerScale = 10000;
constexpr std::size_t kLongFrameMax = 20 * 1024;
/// How much the bridge's resident memory may move after warm-up in the long
/// session: allocator noise, not a leak of anything per frame.
constexpr long kRssToleranceKib = 1024;

// AddressSanitizer holds freed memory in quarantine, so there resident memory
// grows by design and says nothing about leaks; the bridge is built the same
// way as this test.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kRssIsMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kRssIsMeaningful = false;
#else
constexpr bool kRssIsMeaningful = true;
#endif
#else
constexpr bool kRssIsMeaningful = true;
#endif

double scale() {
  const char* text = std::getenv("QLP_SOAK_SCALE");
  double value = text != nullptr ? std::strtod(text, nullptr) : 1.0;
  return value > 0 ? value : 1.0;
}

long scaled_count(long per_scale) { return std::max(1L, std::lround(per_scale * scale())); }

milliseconds deadline() { return scaled(20000ms); }

std::string random_bytes(std::mt19937_64& rng, std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; i += 8) {
    std::uint64_t word = rng();
    for (std::size_t j = i; j < size && j < i + 8; ++j, word >>= 8)
      bytes[j] = static_cast<char>(word);
  }
  return bytes;
}

std::string resize_frame(unsigned rows, unsigned cols) {
  return "{\"type\":\"resize\",\"rows\":" + std::to_string(rows) +
         ",\"cols\":" + std::to_string(cols) + "}";
}

bool has_ready(const std::vector<ParsedFrame>& frames, const std::string&) {
  for (const ParsedFrame& frame : frames) {
    if (frame.type == "ready") return true;
  }
  return false;
}

bool has_exit(const std::vector<ParsedFrame>& frames, const std::string&) {
  return exit_code(frames).has_value();
}

enum class Kind { kEcho, kFlood, kExitEarly, kIgnoreHup };

/// One session driven at random from `seed` through `bridge`, whose frames
/// `collector` reads; "" or what went wrong.
///
/// Echo sessions send inputs of random sizes and bytes and resizes, wait for
/// the whole echo, then end by a kill frame or end of input: nothing may be
/// lost. Flood, exit-early and hang-up-ignoring sessions get small inputs
/// (the child never reads them), resizes, and an end at a random moment,
/// sometimes right after the ready frame. One session in twenty instead
/// sends a bad frame and must end with exactly that error and status 1.
std::string drive_session(std::uint64_t seed, std::string* path, BridgeProcess& bridge,
                          FrameCollector& collector) {
  std::mt19937_64 rng(seed);
  auto pick = [&rng](std::uint64_t n) { return rng() % n; };
  const Kind kind = static_cast<Kind>(pick(4));
  const bool fatal = pick(20) == 0;
  std::vector<std::string> args;
  std::uint64_t flood_bytes = 0;
  std::uint32_t own_code = 0;
  switch (kind) {
    case Kind::kEcho:
      args = {"echo"};
      break;
    case Kind::kFlood:
      flood_bytes = pick(512 * 1024);
      args = {"flood", std::to_string(flood_bytes)};
      break;
    case Kind::kExitEarly:
      own_code = static_cast<std::uint32_t>(pick(256));
      args = {"exit", std::to_string(own_code), std::to_string(pick(2000))};
      break;
    case Kind::kIgnoreHup:
      own_code = 7;
      args = {"ignore-hup", std::to_string(pick(30)), "7"};
      break;
  }
  std::string members;
  if (pick(2) == 0) {
    members = ",\"rows\":" + std::to_string(pick(500)) + ",\"cols\":" + std::to_string(pick(500));
  }

  bridge.spawn(stress_child(), args, members);
  if (!collector.wait_until(has_ready, deadline())) return "no ready frame";
  std::vector<ProcessId> children = child_processes(bridge.pid());

  // Either end at once, before the child has even announced itself, or play
  // a random script of frames first.
  const bool end_at_once =
      kind != Kind::kEcho && kind != Kind::kIgnoreHup && !fatal && pick(8) == 0;
  static const char* const kKindNames[] = {"echo", "flood", "exit early", "ignore hang-up"};
  *path = kKindNames[static_cast<int>(kind)];
  bool waited_for_exit = false;
  std::string echoed;
  if (!end_at_once) {
    if (!collector.wait_until(announced, deadline())) return "no announcement";
    std::size_t small_input = 0;
    const std::uint64_t actions = pick(9);
    for (std::uint64_t a = 0; a < actions; ++a) {
      if (pick(3) == 0) {
        bridge.send(
            resize_frame(static_cast<unsigned>(pick(400)), static_cast<unsigned>(pick(400))));
        continue;
      }
      // A child that does not read takes only what the terminal buffers;
      // more would block the bridge for good, which is no fault of its own.
      std::size_t size = kind == Kind::kEcho ? pick(16 * 1024 + 1) : pick(257);
      if (kind != Kind::kEcho && small_input + size > 2048) continue;
      small_input += size;
      std::string bytes = random_bytes(rng, size);
      bridge.input(bytes);
      if (kind == Kind::kEcho) echoed += bytes;
    }
    if (kind == Kind::kEcho && !fatal) {
      bool whole = collector.wait_until(
          [&](const std::vector<ParsedFrame>&, const std::string& data) {
            return data.size() >= announcement(data)->length + echoed.size();
          },
          deadline());
      if (!whole) return "the echo did not come back whole";
    }
    if ((kind == Kind::kFlood || kind == Kind::kExitEarly) && !fatal && pick(2) == 0) {
      if (!collector.wait_until(has_exit, deadline())) return "the child's own exit never came";
      waited_for_exit = true;
    }
  }
  std::string bad_message;
  if (fatal) {
    bridge.send("{\"type\":\"input\",\"data\":\"QQ\"}");
    bad_message = "Invalid padding";
    *path += ", fatal";
  } else if (pick(2) == 0) {
    // Lines after a kill frame are never read, however bad.
    bridge.send(pick(2) == 0 ? "{\"type\":\"kill\"}" : "{\"type\":\"kill\"}\nnot a frame");
    *path += end_at_once ? ", killed at once" : ", killed";
  } else {
    *path += end_at_once ? ", input ended at once" : ", input ended";
  }
  bridge.close_stdin();
  if (!collector.finish()) return "standard output did not end";
  const int status = bridge.wait_exit(deadline());

  const std::vector<ParsedFrame>& frames = collector.frames();
  if (std::string fault = order_faults(frames, fatal); !fault.empty()) return fault;
  if (status != (fatal ? 1 : 0)) return "bridge status " + std::to_string(status);
  if (!bridge.unterminated_output().empty()) return "half-written frame";
  if (std::string diagnostic = bridge.stderr_text(); !diagnostic.empty())
    return "standard error: " + diagnostic;
  for (const ProcessId& child : children) {
    if (!wait_process_gone(child, deadline()))
      return "child " + std::to_string(child.pid) + " left running";
  }
  if (fatal) {
    for (const ParsedFrame& frame : frames) {
      if (frame.type == "error" && frame.message != bad_message)
        return "error message " + frame.message;
    }
    return "";
  }

  const std::string& data = collector.data();
  std::optional<Announcement> child = announcement(data);
  if (!child && !end_at_once) return "no announcement";
  const std::string after = child ? data.substr(child->length) : "";
  const std::uint32_t code = *exit_code(frames);
  switch (kind) {
    case Kind::kEcho:
      if (code != 1) return "echo child exit code " + std::to_string(code);
      if (after != echoed) {
        return "echo: " + std::to_string(after.size()) + " bytes back of " +
               std::to_string(echoed.size()) + (after.size() == echoed.size() ? ", different" : "");
      }
      return "";
    case Kind::kFlood:
      if (code != 0 && (code != 1 || waited_for_exit))
        return "flood child exit code " + std::to_string(code);
      if (code == 0) return flood_faults(after, flood_bytes);
      return flood_faults(after);
    case Kind::kExitEarly:
      if (code != own_code && (code != 1 || waited_for_exit)) {
        return "exit code " + std::to_string(code) + " for " + std::to_string(own_code);
      }
      return after.empty() ? "" : "unexpected output from a child that exits";
    case Kind::kIgnoreHup:
      if (code != own_code) return "hang-up-ignoring child exit code " + std::to_string(code);
      return after.empty() ? "" : "unexpected output from a child that ignores the hang-up";
  }
  return "";
}

/// The frames in brief, for a failure message: types in order, runs of data
/// frames as their byte count, codes and messages.
std::string frame_summary(const std::vector<ParsedFrame>& frames) {
  std::string out;
  std::size_t data_bytes = 0;
  auto flush_data = [&] {
    if (data_bytes > 0) out += " data(" + std::to_string(data_bytes) + " bytes)";
    data_bytes = 0;
  };
  for (const ParsedFrame& frame : frames) {
    if (frame.type == "data") {
      data_bytes += frame.data.size();
      continue;
    }
    flush_data();
    if (frame.type == "exit")
      out += " exit(" + std::to_string(frame.code) + ")";
    else if (frame.type == "error")
      out += " error(" + frame.message + ")";
    else if (frame.type.empty())
      out += " unparsable(" + frame.line.substr(0, 80) + ")";
    else
      out += " " + frame.type;
  }
  flush_data();
  return out.empty() ? "no frames" : out.substr(1);
}

/// One random session (see drive_session); on a failure, the bridge is ended
/// at once and the message carries the frames and the status.
std::string soak_session(std::uint64_t seed, std::string* path) {
  BridgeProcess bridge;
  FrameCollector collector(bridge, scaled(60000ms));
  std::string fault = drive_session(seed, path, bridge, collector);
  if (fault.empty()) return fault;
  bridge.close_stdin();
  int status = bridge.wait_exit(scaled(1000ms));  // kills a bridge that is still running
  collector.finish();
  return fault + " [frames: " + frame_summary(collector.frames()) + "; bridge status " +
         std::to_string(status) + "]";
}

std::uint64_t base_seed() {
  return static_cast<std::uint64_t>(env_count("QLP_SOAK_SEED", 20240611));
}

/// How many sessions took each path, printed after a run.
void report(const std::map<std::string, int>& paths) {
  for (const auto& [path, count] : paths)
    std::cout << "[ soak     ]   " << count << " " << path << std::endl;
}

TEST(SoakTest, SessionsOneAfterAnother) {
  const long sessions = scaled_count(kSequentialPerScale);
  std::map<std::string, int> paths;
  int failures = 0;
  for (long i = 0; i < sessions && failures < 5; ++i) {
    std::uint64_t seed = base_seed() + static_cast<std::uint64_t>(i);
    std::string path;
    std::string fault = soak_session(seed, &path);
    ++paths[path];
    if (!fault.empty()) {
      ADD_FAILURE() << "session " << i << " of " << sessions << " (seed " << seed << ", " << path
                    << "): " << fault;
      ++failures;
    }
  }
  std::cout << "[ soak     ] " << sessions << " sessions in sequence" << std::endl;
  report(paths);
}

TEST(SoakTest, FiftySessionsAtOnce) {
  const long rounds = scaled_count(1);
  std::map<std::string, int> paths;
  int failures = 0;
  for (long round = 0; round < rounds && failures < 5; ++round) {
    std::vector<std::string> faults(kAtOnce), session_paths(kAtOnce);
    std::vector<std::thread> sessions;
    const std::uint64_t first = base_seed() + 1000000 + static_cast<std::uint64_t>(round * kAtOnce);
    for (long s = 0; s < kAtOnce; ++s) {
      sessions.emplace_back([&faults, &session_paths, s, first] {
        faults[s] = soak_session(first + s, &session_paths[s]);
      });
    }
    for (std::thread& session : sessions) session.join();
    for (long s = 0; s < kAtOnce; ++s) {
      ++paths[session_paths[s]];
      if (faults[s].empty()) continue;
      ADD_FAILURE() << "round " << round << ", seed " << first + s << " (" << session_paths[s]
                    << "): " << faults[s];
      ++failures;
    }
  }
  std::cout << "[ soak     ] " << rounds << " rounds of " << kAtOnce << " sessions at once"
            << std::endl;
  report(paths);
}

/// Open descriptors and resident memory of a running process, from /proc.
struct Footprint {
  long descriptors = -1;
  long rss_kib = -1;
};

Footprint footprint(pid_t pid) {
  Footprint print;
  const std::string base = "/proc/" + std::to_string(pid);
  if (DIR* dir = ::opendir((base + "/fd").c_str())) {
    print.descriptors = 0;
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++print.descriptors;
    }
    ::closedir(dir);
  }
  std::ifstream status(base + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) print.rss_kib = std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return print;
}

/// FNV-1a over a byte stream, fed piece by piece.
struct StreamHash {
  std::uint64_t value = 1469598103934665603ull;
  std::uint64_t bytes = 0;
  void add(std::string_view piece) {
    for (unsigned char c : piece) value = (value ^ c) * 1099511628211ull;
    bytes += piece.size();
  }
};

/// What the long session's reading thread has seen, for the writing thread
/// to wait on: the announcement line, then a hash of the echo.
class EchoWatch {
 public:
  void see(const ParsedFrame& frame) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (frame.type == "ready") ++ready_;
      if (frame.type == "error") ++errors_;
      if (frame.type.empty()) ++unparsed_;
      if (frame.type == "exit") {
        if (ready_ == 0) exit_before_ready_ = true;
        code_ = frame.code;
        ++exits_;
      }
      if (frame.type == "data") {
        std::string_view bytes = frame.data;
        if (head_.find('\n') == std::string::npos) {
          std::size_t take = std::min(bytes.size(), bytes.find('\n') + 1);
          head_ += bytes.substr(0, take);
          bytes.remove_prefix(take);
        }
        echo_.add(bytes);
      }
    }
    changed_.notify_all();
  }

  /// The announcement line, once it has come whole.
  std::optional<Announcement> wait_for_announcement(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return head_.find('\n') != std::string::npos; });
    return announcement(head_);
  }

  /// Waits until `bytes` bytes have come back; the hash of the echo then.
  std::optional<StreamHash> wait_for_echo(std::uint64_t bytes, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return echo_.bytes >= bytes; }))
      return std::nullopt;
    return echo_;
  }

  /// Checks of the frame order and the exit code, after reading has ended.
  void expect_one_session(std::uint32_t expected_code) {
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(ready_, 1);
    EXPECT_EQ(exits_, 1);
    EXPECT_FALSE(exit_before_ready_);
    EXPECT_EQ(errors_, 0);
    EXPECT_EQ(unparsed_, 0);
    EXPECT_EQ(code_, expected_code);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  // All guarded by mutex_.
  std::string head_;
  StreamHash echo_;
  int ready_ = 0, exits_ = 0, errors_ = 0, unparsed_ = 0;
  bool exit_before_ready_ = false;
  std::uint32_t code_ = 0;
};

TEST(SoakTest, LongSessionKeepsDescriptorsAndMemoryFlat) {
  if (footprint(::getpid()).descriptors < 0)
    GTEST_SKIP() << "no /proc to measure descriptors and memory";
  const long frames = scaled_count(kLongFramesPerScale);
  const milliseconds long_deadline =
      scaled(milliseconds(60000 + 30000 * std::lround(std::ceil(scale()))));
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  BridgeProcess bridge;
  EchoWatch watch;
  // The reading thread hashes the echo as it streams by; nothing is kept.
  FrameCollector collector(
      bridge, long_deadline, [&watch](const ParsedFrame& frame) { watch.see(frame); },
      /*keep=*/false);
  bridge.spawn(stress_child(), {"echo"});
  // The announcement means raw mode: from here on every byte comes back as sent.
  std::optional<Announcement> announced = watch.wait_for_announcement(deadline());
  ASSERT_TRUE(announced) << "no announcement";
  std::optional<ProcessId> child = look_up_process(announced->pid);
  ASSERT_TRUE(child) << "the echo child is gone already";

  std::mt19937_64 rng(base_seed());
  StreamHash sent;
  std::vector<Footprint> samples;
  const long sample_every = std::max(1L, frames / 100);
  for (long i = 0; i < frames; ++i) {
    std::string bytes = random_bytes(rng, 1 + rng() % kLongFrameMax);
    ASSERT_TRUE(bridge.input(bytes)) << "the bridge stopped reading at frame " << i;
    sent.add(bytes);
    if (i % 97 == 0) bridge.send(resize_frame(1 + rng() % 300, 1 + rng() % 300));
    if (i % sample_every == 0) samples.push_back(footprint(bridge.pid()));
  }
  // The whole echo before the end: everything the child wrote is owed.
  std::optional<StreamHash> echo = watch.wait_for_echo(sent.bytes, long_deadline);
  samples.push_back(footprint(bridge.pid()));
  bridge.send("{\"type\":\"kill\"}");
  bridge.close_stdin();
  ASSERT_TRUE(collector.finish());
  EXPECT_EQ(bridge.wait_exit(deadline()), 0);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  ASSERT_TRUE(echo) << "the echo did not come back whole";
  EXPECT_EQ(echo->bytes, sent.bytes);
  EXPECT_EQ(echo->value, sent.value) << "the echo differs from the input";
  watch.expect_one_session(1);
  EXPECT_TRUE(wait_process_gone(*child, deadline()));

  // Flat: after a tenth of the run (every frame size has been seen by then),
  // the descriptor count never changes and resident memory stays within noise.
  const Footprint& warm = samples[samples.size() / 10];
  long peak_rss = warm.rss_kib;
  for (std::size_t s = samples.size() / 10; s < samples.size(); ++s) {
    EXPECT_EQ(samples[s].descriptors, warm.descriptors) << "sample " << s;
    peak_rss = std::max(peak_rss, samples[s].rss_kib);
  }
  if (kRssIsMeaningful) {
    EXPECT_LE(peak_rss - warm.rss_kib, kRssToleranceKib)
        << "resident memory grew from " << warm.rss_kib << " KiB to " << peak_rss << " KiB";
  }
  std::cout << "[ soak     ] " << frames << " input frames, " << sent.bytes << " bytes echoed in "
            << seconds << " s; descriptors " << samples.front().descriptors << " -> "
            << samples.back().descriptors << "; resident " << samples.front().rss_kib
            << " KiB, after warm-up " << warm.rss_kib << " KiB, peak " << peak_rss << " KiB, last "
            << samples.back().rss_kib << " KiB" << std::endl;
}

}  // namespace
}  // namespace qlp::test
