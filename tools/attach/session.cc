#include "attach/session.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <vector>

#include "attach/raw_terminal.h"
#include "attach/signals.h"
#include "attach/spawn_request.h"
#include "bridge_client/frames.h"

namespace qlp::attach {
namespace {

/// Keys are no longer read while this much is waiting for the bridge: a paste into a program
/// that does not read its input then waits at the person's end, not in the tool's memory.
constexpr size_t kMaxPendingInput = 1 << 20;
constexpr size_t kKeyChunk = 4096;
constexpr size_t kOutputChunk = 65536;

/// Writes all of `bytes` to `fd`, waiting out a descriptor that someone made non-blocking.
Result<void> write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
    } else if (n < 0 && errno == EAGAIN) {
      struct pollfd wait_for {
        fd, POLLOUT, 0
      };
      poll(&wait_for, 1, -1);
    } else if (n < 0 && errno != EINTR) {
      return Error::os(errno);
    }
  }
  return {};
}

class Session {
 public:
  Session(BridgeProcess& bridge, const SessionIo& io, Trace* trace)
      : bridge_(bridge), io_(io), trace_(trace) {}

  Result<SessionOutcome> run(const std::string& spawn_line) {
    send(spawn_line);
    if (io_.size_fd != -1) last_size_ = terminal_size(io_.size_fd);
    while (!bridge_ended_) {
      if (closing_input_ && pending_.empty()) bridge_.close_input();
      if (auto step = poll_once(); !step) return std::move(step).error();
    }
    if (!partial_line_.empty()) handle_line(partial_line_);
    bridge_.close_input();
    auto status = bridge_.wait();
    if (!status) return std::move(status).error();
    outcome_.bridge_status = *status;
    return outcome_;
  }

 private:
  void send(const std::string& line) {
    if (trace_ != nullptr) trace_->record(Trace::Direction::kIn, line);
    pending_ += line;
    pending_ += '\n';
  }

  Result<void> poll_once() {
    std::vector<struct pollfd> fds;
    int keys = -1, to_bridge = -1, events = -1;
    bool want_keys = reading_keys_ && !closing_input_ && pending_.size() < kMaxPendingInput;
    if (want_keys) {
      keys = static_cast<int>(fds.size());
      fds.push_back({io_.terminal_in, POLLIN, 0});
    }
    if (bridge_.input_fd() != -1 && !pending_.empty()) {
      to_bridge = static_cast<int>(fds.size());
      fds.push_back({bridge_.input_fd(), POLLOUT, 0});
    }
    if (io_.signal_events != -1) {
      events = static_cast<int>(fds.size());
      fds.push_back({io_.signal_events, POLLIN, 0});
    }
    int from_bridge = static_cast<int>(fds.size());
    fds.push_back({bridge_.output_fd(), POLLIN, 0});

    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) return {};
      return Error::os(errno);
    }
    if (events != -1 && fds[events].revents != 0) on_window_change();
    if (to_bridge != -1 && fds[to_bridge].revents != 0) write_to_bridge();
    if (keys != -1 && fds[keys].revents != 0) read_keys();
    if (fds[from_bridge].revents != 0) return read_from_bridge();
    return {};
  }

  void on_window_change() {
    drain_signal_events(io_.signal_events);
    if (io_.size_fd == -1 || closing_input_ || bridge_.input_fd() == -1) return;
    auto size = terminal_size(io_.size_fd);
    if (!size) return;
    if (last_size_ && last_size_->rows == size->rows && last_size_->cols == size->cols) return;
    last_size_ = size;
    send(client::resize_frame_line(*size));
  }

  void write_to_bridge() {
    ssize_t n = write(bridge_.input_fd(), pending_.data(), pending_.size());
    if (n > 0) {
      pending_.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      // The bridge no longer reads (it has ended or is ending): what it has not taken is moot.
      pending_.clear();
      reading_keys_ = false;
      bridge_.close_input();
    }
  }

  void read_keys() {
    char buffer[kKeyChunk];
    ssize_t n = read(io_.terminal_in, buffer, sizeof buffer);
    if (n > 0) {
      send(client::input_frame_line(std::string_view(buffer, static_cast<size_t>(n))));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      // End of the keys: the terminal hung up (EIO) or the input was not a terminal and ended.
      reading_keys_ = false;
      closing_input_ = true;
    }
  }

  Result<void> read_from_bridge() {
    char buffer[kOutputChunk];
    ssize_t n = read(bridge_.output_fd(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) return {};
      return Error::os(errno);
    }
    if (n == 0) {
      bridge_ended_ = true;
      return {};
    }
    partial_line_.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t end; (end = partial_line_.find('\n', start)) != std::string::npos;
         start = end + 1) {
      handle_line(std::string_view(partial_line_).substr(start, end - start));
    }
    partial_line_.erase(0, start);
    return {};
  }

  void handle_line(std::string_view line) {
    if (trace_ != nullptr) trace_->record(Trace::Direction::kOut, line);
    auto frame = client::parse_bridge_frame(line);
    if (!frame) {
      if (!outcome_.protocol_problem) {
        outcome_.protocol_problem =
            frame.error().message() + ": " + std::string(line.substr(0, 200));
      }
      return;
    }
    switch (frame->type) {
      case client::BridgeFrame::Type::kReady:
        break;
      case client::BridgeFrame::Type::kData:
        // A screen that cannot be written to (the terminal went away) must not stop the
        // session from ending in order; the bytes are dropped.
        (void)write_all(io_.terminal_out, frame->bytes);
        break;
      case client::BridgeFrame::Type::kExit:
        outcome_.exit_code = frame->code;
        reading_keys_ = false;
        closing_input_ = true;
        break;
      case client::BridgeFrame::Type::kError:
        outcome_.error_message = frame->message;
        break;
    }
  }

  BridgeProcess& bridge_;
  const SessionIo& io_;
  Trace* trace_;
  SessionOutcome outcome_;
  /// Input frames not yet taken by the bridge.
  std::string pending_;
  /// Bytes from the bridge after its last line feed.
  std::string partial_line_;
  std::optional<TerminalSize> last_size_;
  bool reading_keys_ = true;
  /// Set once no more frames will be sent: the bridge's input closes when pending_ is empty.
  bool closing_input_ = false;
  bool bridge_ended_ = false;
};

}  // namespace

Result<SessionOutcome> run_session(BridgeProcess& bridge, const std::string& spawn_line,
                                   const SessionIo& io, Trace* trace) {
  return Session(bridge, io, trace).run(spawn_line);
}

}  // namespace qlp::attach
