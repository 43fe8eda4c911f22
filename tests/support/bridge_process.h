// Runs the built bridge as a parent would: pipes on its standard streams,
// frames written as lines, frames read back against deadlines.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qlp::test {

/// One output frame as read from the bridge, with `data` already decoded.
struct ParsedFrame {
  std::string type;     ///< "ready", "data", "exit" or "error"; "" for an unparsable line.
  std::string data;     ///< Decoded bytes of a data frame.
  std::uint32_t code = 0;
  std::string message;  ///< Unescaped message of an error frame.
  std::string line;     ///< The raw line, without its "\n".
};

/// Parses one output line of the bridge; type "" when it is not a frame.
ParsedFrame parse_output_line(const std::string& line);

/// Base64 encoding, independent of the bridge's own codec.
std::string to_base64(const std::string& bytes);

struct BridgeOptions {
  std::string path;                   ///< Defaults to the built bridge.
  std::vector<std::string> env;       ///< Extra NAME=VALUE entries over this environment.
  bool close_stdin = false;           ///< Start with descriptor 0 closed.
  bool ignore_sigchld = false;        ///< Start with SIGCHLD ignored.
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

/// A JSON string literal for `text` (for building input frames in tests).
std::string json_string(const std::string& text);

/// Whether process `pid` still exists (and is not a zombie).
bool process_alive(pid_t pid);

}  // namespace qlp::test
