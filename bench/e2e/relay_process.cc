#include "relay_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "bridge_client/frames.h"

extern char** environ;

namespace qlp::bench {
namespace {

// Small enough that a read rarely runs far past the point where the benchmark stops reading one
// relay to turn to the other.
constexpr std::size_t kReadSize = 64 * 1024;
std::string spawn_line(const std::vector<std::string>& child) {
  client::SpawnRequest request;
  request.shell_path = child.at(0);
  request.shell_args.assign(child.begin() + 1, child.end());
  return client::spawn_frame_line(request) + "\n";
}

OutputLine parse_output_line(std::string_view text) {
  OutputLine line;
  line.text = text;
  Result<client::BridgeFrame> frame = client::parse_bridge_frame(text);
  if (!frame) return line;
  switch (frame->type) {
    case client::BridgeFrame::Type::kReady:
      line.type = OutputLine::Type::ready;
      break;
    case client::BridgeFrame::Type::kData:
      line.type = OutputLine::Type::data;
      line.bytes = std::move(frame->bytes);
      break;
    case client::BridgeFrame::Type::kExit:
      line.type = OutputLine::Type::exit;
      line.code = frame->code;
      break;
    case client::BridgeFrame::Type::kError:
      line.type = OutputLine::Type::error;
      break;
  }
  return line;
}

Result<void> write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::os(errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

std::chrono::milliseconds scaled(std::chrono::milliseconds base) {
  const char* text = std::getenv("QLP_TEST_TIMEOUT_MULTIPLIER");
  const double factor = text ? std::strtod(text, nullptr) : 1.0;
  if (!(factor > 1.0)) return base;
  return std::chrono::milliseconds(
      static_cast<std::int64_t>(static_cast<double>(base.count()) * factor));
}

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : left > 1000000 ? 1000000 : static_cast<int>(left);
}

}  // namespace

std::chrono::milliseconds run_timeout() { return scaled(std::chrono::milliseconds(120000)); }
std::chrono::milliseconds step_timeout() { return scaled(std::chrono::milliseconds(10000)); }

Error unexpected_line(const OutputLine& line) {
  return Error("unexpected output line: " + std::string(line.text.substr(0, 200)));
}

RelayProcess::RelayProcess(RelayKind kind, bool raw_input, pid_t pid, int input_fd,
                           int output_fd)
    : kind_(kind),
      raw_input_(raw_input),
      pid_(pid),
      input_fd_(input_fd),
      output_fd_(output_fd),
      lines_(kReadSize) {}

Result<std::unique_ptr<RelayProcess>> RelayProcess::start(RelayKind kind,
                                                          const RelayPrograms& programs,
                                                          const std::vector<std::string>& child) {
  int input[2];
  int output[2];
  if (::pipe2(input, O_CLOEXEC) != 0) return Error::os(errno);
  if (::pipe2(output, O_CLOEXEC) != 0) {
    int error = errno;
    ::close(input[0]);
    ::close(input[1]);
    return Error::os(error);
  }
  // The first line fits a pipe's buffer, so it can wait there before the relay exists.
  Result<void> wrote = write_all(input[1], spawn_line(child));

  std::vector<std::string> args;
  if (kind == RelayKind::bridge) {
    args.push_back(programs.bridge);
  } else if (kind == RelayKind::python) {
    args = {"/usr/bin/python3", programs.python};
  } else if (programs.baseline_is_bridge) {
    args.push_back(programs.baseline);
  } else {
    args.push_back(programs.baseline);
    args.insert(args.end(), child.begin(), child.end());
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  pid_t pid = -1;
  // The new process inherits the CPU set of this thread at its creation.
  cpu_set_t own;
  const bool pin = programs.relay_cpu >= 0 && ::sched_getaffinity(0, sizeof own, &own) == 0;
  if (pin) {
    cpu_set_t relay;
    CPU_ZERO(&relay);
    CPU_SET(programs.relay_cpu, &relay);
    ::sched_setaffinity(0, sizeof relay, &relay);
  }
  int spawned = wrote ? ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) : 0;
  if (pin) ::sched_setaffinity(0, sizeof own, &own);
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ::close(output[1]);
  if (!wrote || spawned != 0) {
    ::close(input[1]);
    ::close(output[0]);
    if (!wrote) return std::move(wrote).error();
    return Error::os(spawned).wrap("cannot start " + args[0]);
  }
  // Output is read without blocking, so that every wait is bounded by poll's deadline.
  ::fcntl(output[0], F_SETFL, ::fcntl(output[0], F_GETFL) | O_NONBLOCK);
  const bool raw_input = kind == RelayKind::baseline && !programs.baseline_is_bridge;
  return std::unique_ptr<RelayProcess>(
      new RelayProcess(kind, raw_input, pid, input[1], output[0]));
}

RelayProcess::~RelayProcess() {
  if (input_fd_ >= 0) ::close(input_fd_);
  if (output_fd_ >= 0) ::close(output_fd_);
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

Result<void> RelayProcess::send_input(std::string_view bytes) {
  if (input_fd_ < 0) return Error("input already closed");
  if (raw_input_) return write_all(input_fd_, bytes);
  frame_.clear();
  client::append_input_frame_line(bytes, frame_);
  frame_ += '\n';
  return write_all(input_fd_, frame_);
}

void RelayProcess::close_input() {
  if (input_fd_ >= 0) ::close(input_fd_);
  input_fd_ = -1;
}

Result<bool> RelayProcess::fill(Clock::time_point deadline) {
  const std::span<char> space = lines_.space();
  for (;;) {
    ssize_t n = ::read(output_fd_, space.data(), space.size());
    if (n > 0) {
      lines_.commit(static_cast<std::size_t>(n));
      return true;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return Error::os(errno);
    pollfd waiting{output_fd_, POLLIN, 0};
    int ready = ::poll(&waiting, 1, remaining_ms(deadline));
    if (ready == 0) return Error("timed out waiting for output");
    if (ready < 0 && errno != EINTR) return Error::os(errno);
  }
}

Result<std::optional<OutputLine>> RelayProcess::next_line(Clock::time_point deadline) {
  for (;;) {
    if (std::optional<std::string_view> line = lines_.next()) {
      return std::optional<OutputLine>(parse_output_line(*line));
    }
    Result<bool> more = fill(deadline);
    if (!more) return std::move(more).error();
    if (!*more) {
      if (lines_.partial()) return Error("output ended inside a line");
      return std::optional<OutputLine>();
    }
  }
}

Result<int> RelayProcess::finish(Clock::time_point deadline) {
  close_input();
  std::optional<Error> failure;
  for (;;) {
    Result<std::optional<OutputLine>> line = next_line(deadline);
    if (!line) {
      failure = std::move(line).error();
      ::kill(pid_, SIGKILL);
      break;
    }
    if (!line->has_value()) break;
  }
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  if (failure) return std::move(*failure).wrap("relay did not end");
  return status;
}

Result<void> RelayProcess::finish_cleanly() {
  Result<int> status = finish(Clock::now() + step_timeout());
  if (!status) return std::move(status).error();
  if (*status != 0) return Error("relay ended with wait status " + std::to_string(*status));
  return {};
}

}  // namespace qlp::bench
