// Runs the built bridge as a parent would: pipes on its standard streams,
// frames written as lines, frames read back against deadlines.
// Its frame reader and writer (JSON strings, Base64) are its own on purpose, not the frames
// library's: a fault shared by the bridge and the code that judges it would pass unseen.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qlp::test {

/// One output frame as read from the bridge, with `data` already decoded.
struct ParsedFrame {
  std::string type;     ///< "ready", "data", "exit", "error" or "process"; "" for an unparsable line.
  std::string data;     ///< Decoded bytes of a data frame.
  std::uint32_t code = 0;
  std::string message;  ///< Unescaped message of an error frame.
  std::string line;     ///< The raw line, without its "\n".
  // The members that the opt-in features add, each in its fixed place.
  std::optional<std::uint32_t> pid;          ///< ready's "pid"; a process frame's "pid".
  std::optional<std::string> signal;         ///< exit's "signal".
  std::optional<std::string> cause;          ///< error's "cause".
  std::optional<std::string> error_code;     ///< error's "code".
  std::optional<std::string> name;           ///< A process frame's "name".
  std::optional<std::string> cwd;            ///< A process frame's "cwd".
};

/// The bridge the tests run: $QLP_BRIDGE when set (to test another build of
/// it, such as a release binary), else the one built with the tests.
std::string bridge_under_test();

/// Parses one output line of the bridge; type "" when it is not a frame.
ParsedFrame parse_output_line(const std::string& line);

/// Base64 encoding, independent of the bridge's own codec.
std::string to_base64(const std::string& bytes);

struct BridgeOptions {
  /// Defaults to $QLP_BRIDGE when set, else the bridge of this build.
  std::string path;
  std::vector<std::string> env;       ///< Extra NAME=VALUE entries over this environment.
  bool close_stdin = false;           ///< Start with descriptor 0 closed.
  bool ignore_sigchld = false;        ///< Start with SIGCHLD ignored.
  /// Further signals to start with ignored, those the C library keeps for itself included.
  std::vector<int> ignored_signals;
  /// RLIMIT_NOFILE for the bridge; 0: unchanged.
  unsigned descriptor_limit = 0;
  int stdout_pipe_size = 0;           ///< Stdout pipe capacity where settable; 0: the default.
  /// RLIMIT_AS in bytes for the bridge, with RLIMIT_STACK at 8 MiB; 0: both unchanged.
  std::uint64_t address_space_limit = 0;
};

class BridgeProcess {
 public:
  explicit BridgeProcess(BridgeOptions options = {});
  ~BridgeProcess();
  BridgeProcess(const BridgeProcess&) = delete;
  BridgeProcess& operator=(const BridgeProcess&) = delete;

  /// Writes `line` plus "\n" (or the raw bytes with send_raw). False once the bridge stopped reading.
  bool send(const std::string& line);
  bool send_raw(const std::string& bytes);
  /// Convenience frames.
  bool spawn(const std::string& program, const std::vector<std::string>& args = {},
             const std::string& extra_members = "");
  bool input(const std::string& bytes);
  void close_stdin();
  void close_stdout();

  /// The next frame, or nothing when the deadline passes or standard output ends.
  std::optional<ParsedFrame> next_frame(std::chrono::milliseconds timeout);
  /// Reads frames until one of `type` arrives; the frames before it are appended to `before`.
  std::optional<ParsedFrame> wait_for(const std::string& type, std::chrono::milliseconds timeout,
                                      std::vector<ParsedFrame>* before = nullptr);
  /// Reads every frame until standard output ends.
  std::vector<ParsedFrame> read_all(std::chrono::milliseconds timeout);
  /// Decoded bytes of data frames read so far by wait_for/read_all.
  /// Waits for the process to end; its exit status (or -1 on timeout, after killing it).
  int wait_exit(std::chrono::milliseconds timeout);
  /// Everything the bridge wrote to standard error.
  std::string stderr_text();
  /// Bytes read after the last line feed: a frame left half-written when
  /// standard output has ended.
  const std::string& unterminated_output() const { return pending_; }

  pid_t pid() const { return pid_; }

 private:
  bool read_more(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  std::string pending_;
  bool stdout_ended_ = false;
  std::optional<int> status_;
};

/// Reads a bridge's frames on a thread of its own until its standard output
/// ends or a deadline passes, so that a test can write any amount of input
/// while the bridge writes back (done on one thread, each side could fill the
/// other's pipe and both would wait for good). The thread uses only the
/// reading side of the bridge: meanwhile the test may send and close standard
/// input, but must not read frames itself.
class FrameCollector {
 public:
  /// `observe`, when given, sees every frame on the reading thread. Frames
  /// (and the joined bytes of data frames) are kept only when `keep` is set;
  /// a test streaming gigabytes checks them in `observe` instead.
  FrameCollector(BridgeProcess& bridge, std::chrono::milliseconds timeout,
                 std::function<void(const ParsedFrame&)> observe = nullptr, bool keep = true);
  ~FrameCollector();
  FrameCollector(const FrameCollector&) = delete;
  FrameCollector& operator=(const FrameCollector&) = delete;

  /// Waits until `done(frames, data)` holds, checked after every frame;
  /// false when it does not before `timeout` or before reading has ended.
  bool wait_until(
      const std::function<bool(const std::vector<ParsedFrame>&, const std::string&)>& done,
      std::chrono::milliseconds timeout);
  /// Waits for the reading thread to end; true when standard output ended
  /// (false: the deadline passed first).
  bool finish();
  /// The frames and joined data bytes kept; only after finish().
  const std::vector<ParsedFrame>& frames() const { return frames_; }
  const std::string& data() const { return data_; }

 private:
  void read_frames(BridgeProcess& bridge, std::chrono::milliseconds timeout);

  std::function<void(const ParsedFrame&)> observe_;
  const bool keep_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ParsedFrame> frames_;  ///< Guarded by mutex_ until finish().
  std::string data_;                 ///< Guarded by mutex_ until finish().
  bool reading_ = true;              ///< Guarded by mutex_.
  bool ended_ = false;               ///< Guarded by mutex_: standard output ended.
  std::thread thread_;
};

/// A process as seen at one moment: its id and start time, so that a later
/// look does not take another process that has since been given the same id
/// (ids wrap quickly when tests start thousands of processes) for it.
struct ProcessId {
  pid_t pid = 0;
  unsigned long long start_time = 0;  ///< Clock ticks after boot, from /proc; 0 where unknown.
};

/// Process `pid` as it is now; nothing when there is none or it is a zombie.
std::optional<ProcessId> look_up_process(pid_t pid);

/// Waits until `process` no longer runs (gone, a zombie, or its id now names
/// another process); false when it still runs at the deadline.
bool wait_process_gone(const ProcessId& process, std::chrono::milliseconds timeout);

/// The running processes whose parent is `parent`, from /proc (empty where there is none).
std::vector<ProcessId> child_processes(pid_t parent);

/// A JSON string literal for `text` (for building input frames in tests).
std::string json_string(const std::string& text);

/// Whether process `pid` still exists (and is not a zombie).
bool process_alive(pid_t pid);

}  // namespace qlp::test
