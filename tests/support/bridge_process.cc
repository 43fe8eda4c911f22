#include "support/bridge_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "support/test_support.h"

extern char** environ;

namespace qlp::test {
namespace {

using Clock = std::chrono::steady_clock;

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string from_base64(const std::string& text) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    int value = base64_value(c);
    if (value < 0) break;
    bits = (bits << 6) | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

// Reads a JSON string starting at text[pos] == '"'; pos ends after the closing quote.
std::optional<std::string> read_json_string(const std::string& text, std::size_t& pos) {
  if (pos >= text.size() || text[pos] != '"') return std::nullopt;
  std::string out;
  for (++pos; pos < text.size(); ++pos) {
    char c = text[pos];
    if (c == '"') {
      ++pos;
      return out;
    }
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (++pos >= text.size()) return std::nullopt;
    switch (text[pos]) {
      case 'n': out.push_back('\n'); break;
      case 't': out.push_back('\t'); break;
      case 'r': out.push_back('\r'); break;
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'u': {
        if (pos + 4 >= text.size()) return std::nullopt;
        unsigned value = std::stoul(text.substr(pos + 1, 4), nullptr, 16);
        pos += 4;
        // The bridge escapes only control characters this way.
        out.push_back(static_cast<char>(value));
        break;
      }
      default: out.push_back(text[pos]);
    }
  }
  return std::nullopt;
}

/// /proc/PID/stat, or nothing when it cannot be read (no /proc, or the
/// process went away, which may happen halfway through the read).
std::optional<std::string> read_proc_stat(pid_t pid) {
  int fd = ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) return std::nullopt;
  std::string contents;
  char buffer[1024];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    contents.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return contents;
}

}  // namespace

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
      out += buffer;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out + "\"";
}

std::string to_base64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                 (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                 static_cast<unsigned char>(bytes[i + 2]);
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63],
            kAlphabet[v & 63]};
  }
  if (i + 1 == bytes.size()) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == bytes.size()) {
    unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                 (static_cast<unsigned char>(bytes[i + 1]) << 8);
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], '='};
  }
  return out;
}

ParsedFrame parse_output_line(const std::string& line) {
  ParsedFrame frame;
  frame.line = line;
  const std::string head = "{\"type\":";
  if (line.compare(0, head.size(), head) != 0 || line.back() != '}') return frame;
  std::size_t pos = head.size();
  std::optional<std::string> type = read_json_string(line, pos);
  if (!type) return frame;
  // `,"name":` at pos, then pos after it.
  auto member = [&](const char* name) {
    const std::string expected = std::string(",\"") + name + "\":";
    if (line.compare(pos, expected.size(), expected) != 0) return false;
    pos += expected.size();
    return true;
  };
  auto number = [&]() -> std::optional<std::uint32_t> {
    const std::size_t end = line.find_first_not_of("0123456789", pos);
    if (end == pos || end == std::string::npos) return std::nullopt;
    const std::uint32_t value = static_cast<std::uint32_t>(std::stoul(line.substr(pos, end - pos)));
    pos = end;
    return value;
  };
  // A string or null; false when neither is at pos.
  auto nullable_string = [&](std::optional<std::string>& target) {
    if (line.compare(pos, 4, "null") == 0) {
      pos += 4;
      return true;
    }
    target = read_json_string(line, pos);
    return target.has_value();
  };
  const bool whole = [&] {
    if (*type == "ready") {
      if (member("features")) {
        if (line.compare(pos, 1, "[") != 0) return false;
        ++pos;
        while (line.compare(pos, 1, "]") != 0) {
          if (!read_json_string(line, pos)) return false;
          if (line.compare(pos, 1, ",") == 0) ++pos;
        }
        ++pos;
        if (member("pid") && !(frame.pid = number())) return false;
      }
    } else if (*type == "data") {
      if (!member("data")) return false;
      std::optional<std::string> text = read_json_string(line, pos);
      if (!text) return false;
      frame.data = from_base64(*text);
      if (to_base64(frame.data) != *text) return false;
    } else if (*type == "exit") {
      if (!member("code")) return false;
      std::optional<std::uint32_t> code = number();
      if (!code) return false;
      frame.code = *code;
      if (member("signal") && !(frame.signal = read_json_string(line, pos))) return false;
    } else if (*type == "error") {
      if (!member("message")) return false;
      std::optional<std::string> text = read_json_string(line, pos);
      if (!text) return false;
      frame.message = *text;
      if (member("cause") && !(frame.cause = read_json_string(line, pos))) return false;
      if (member("code") && !(frame.error_code = read_json_string(line, pos))) return false;
    } else if (*type == "process") {
      if (!member("pid")) return false;
      if (line.compare(pos, 4, "null") == 0) {
        pos += 4;
      } else if (!(frame.pid = number())) {
        return false;
      }
      if (!member("name") || !nullable_string(frame.name)) return false;
      if (!member("cwd") || !nullable_string(frame.cwd)) return false;
    } else {
      return false;
    }
    return pos + 1 == line.size();
  }();
  if (whole) frame.type = *type;
  return frame;
}

std::string bridge_under_test() {
  const char* chosen = std::getenv("QLP_BRIDGE");
  return chosen != nullptr && *chosen != '\0' ? chosen : QLP_BRIDGE_PATH;
}

BridgeProcess::BridgeProcess(BridgeOptions options) {
  // A bridge that ended early (one too cramped even to load, say) must fail a test through
  // send()'s answer, not kill the test process.
  ::signal(SIGPIPE, SIG_IGN);
  std::string path = options.path.empty() ? bridge_under_test() : options.path;
  int in[2], out[2], err[2];
  for (int* ends : {in, out, err}) {
    if (::pipe(ends) != 0) throw std::runtime_error("pipe failed");
    ::fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(ends[1], F_SETFD, FD_CLOEXEC);
  }
#ifdef F_SETPIPE_SZ
  if (options.stdout_pipe_size > 0) ::fcntl(out[1], F_SETPIPE_SZ, options.stdout_pipe_size);
#endif
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
  for (const std::string& extra : options.env) env_strings.push_back(extra);
  std::vector<char*> envp;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  char* argv[] = {path.data(), nullptr};

  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (options.close_stdin) ::close(0);
    struct sigaction action {};
    action.sa_handler = options.ignore_sigchld ? SIG_IGN : SIG_DFL;
    ::sigaction(SIGCHLD, &action, nullptr);
    action.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &action, nullptr);
    for (int sig : options.ignored_signals) {
      if (!ignore_signal_past_libc(sig)) ::_exit(126);
    }
    if (options.descriptor_limit != 0) {
      // The limit counts from the standard streams up, so nothing else may hold a low number:
      // CTest hands its tests its log file as descriptor 3.
      for (int fd = 3; fd < 1024; ++fd) ::close(fd);
      const rlimit limit{options.descriptor_limit, options.descriptor_limit};
      if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(126);
    }
    if (options.address_space_limit != 0) {
      const rlimit limit{options.address_space_limit, options.address_space_limit};
      ::setrlimit(RLIMIT_AS, &limit);
      // Thread stacks are as large as this limit says, so a fixed one keeps the address space
      // the bridge needs the same on every machine.
      const rlimit stack{8 << 20, 8 << 20};
      ::setrlimit(RLIMIT_STACK, &stack);
    }
    ::execve(path.c_str(), argv, envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  stdin_fd_ = in[1];
  stdout_fd_ = out[0];
  stderr_fd_ = err[0];
}

BridgeProcess::~BridgeProcess() {
  close_stdin();
  if (!status_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status;
    ::waitpid(pid_, &status, 0);
  }
  if (stdout_fd_ != -1) ::close(stdout_fd_);
  if (stderr_fd_ != -1) ::close(stderr_fd_);
}

bool BridgeProcess::send_raw(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(stdin_fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool BridgeProcess::send(const std::string& line) { return send_raw(line + "\n"); }

bool BridgeProcess::spawn(const std::string& program, const std::vector<std::string>& args,
                          const std::string& extra_members) {
  std::string line = "{\"type\":\"spawn\",\"shellPath\":" + json_string(program) + ",\"shellArgs\":[";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i > 0) line += ",";
    line += json_string(args[i]);
  }
  line += "]" + extra_members + "}";
  return send(line);
}

bool BridgeProcess::input(const std::string& bytes) {
  return send("{\"type\":\"input\",\"data\":\"" + to_base64(bytes) + "\"}");
}

void BridgeProcess::close_stdin() {
  if (stdin_fd_ != -1) ::close(stdin_fd_);
  stdin_fd_ = -1;
}

void BridgeProcess::close_stdout() {
  if (stdout_fd_ != -1) ::close(stdout_fd_);
  stdout_fd_ = -1;
  stdout_ended_ = true;
}

bool BridgeProcess::read_more(Clock::time_point deadline) {
  if (stdout_ended_) return false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) return false;
    pollfd waiting{stdout_fd_, POLLIN, 0};
    int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[65536];
    ssize_t n = ::read(stdout_fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      stdout_ended_ = true;
      return false;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }
}

std::optional<ParsedFrame> BridgeProcess::next_frame(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    std::size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return parse_output_line(line);
    }
    if (!read_more(deadline)) return std::nullopt;
  }
}

std::optional<ParsedFrame> BridgeProcess::wait_for(const std::string& type,
                                                   std::chrono::milliseconds timeout,
                                                   std::vector<ParsedFrame>* before) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    std::optional<ParsedFrame> frame = next_frame(std::max(left, std::chrono::milliseconds(0)));
    if (!frame) return std::nullopt;
    if (frame->type == type) return frame;
    if (before != nullptr) before->push_back(*frame);
  }
}

std::vector<ParsedFrame> BridgeProcess::read_all(std::chrono::milliseconds timeout) {
  std::vector<ParsedFrame> frames;
  auto deadline = Clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    std::optional<ParsedFrame> frame = next_frame(std::max(left, std::chrono::milliseconds(0)));
    if (!frame) return frames;
    frames.push_back(*frame);
  }
}

int BridgeProcess::wait_exit(std::chrono::milliseconds timeout) {
  if (status_) return *status_;
  auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t got = ::waitpid(pid_, &status, WNOHANG);
    if (got == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return *status_;
    }
    if (Clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      status_ = -1;
      return -1;
    }
    ::usleep(2000);
  }
}

std::string BridgeProcess::stderr_text() {
  std::string text;
  char buffer[4096];
  int flags = ::fcntl(stderr_fd_, F_GETFL);
  ::fcntl(stderr_fd_, F_SETFL, flags | O_NONBLOCK);
  for (;;) {
    ssize_t n = ::read(stderr_fd_, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

FrameCollector::FrameCollector(BridgeProcess& bridge, std::chrono::milliseconds timeout,
                               std::function<void(const ParsedFrame&)> observe, bool keep)
    : observe_(std::move(observe)), keep_(keep) {
  thread_ = std::thread([this, &bridge, timeout] { read_frames(bridge, timeout); });
}

FrameCollector::~FrameCollector() { finish(); }

void FrameCollector::read_frames(BridgeProcess& bridge, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  bool ended = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    std::optional<ParsedFrame> frame = bridge.next_frame(left);
    if (!frame) {
      ended = Clock::now() < deadline;
      break;
    }
    if (observe_) observe_(*frame);
    if (!keep_) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (frame->type == "data") data_ += frame->data;
      frames_.push_back(std::move(*frame));
    }
    changed_.notify_all();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reading_ = false;
    ended_ = ended;
  }
  changed_.notify_all();
}

bool FrameCollector::wait_until(
    const std::function<bool(const std::vector<ParsedFrame>&, const std::string&)>& done,
    std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (done(frames_, data_)) return true;
    if (!reading_) return false;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) return done(frames_, data_);
  }
}

bool FrameCollector::finish() {
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  return ended_;
}

namespace {

/// The fields of /proc/PID/stat after the command name, which may hold
/// spaces and parentheses: they start after the last ')'. Field 3 (state)
/// comes first.
std::optional<std::vector<std::string>> stat_fields(pid_t pid) {
  std::optional<std::string> contents = read_proc_stat(pid);
  if (!contents) return std::nullopt;
  std::size_t paren = contents->rfind(')');
  if (paren == std::string::npos) return std::nullopt;
  std::vector<std::string> fields;
  std::size_t at = paren + 1;
  while ((at = contents->find_first_not_of(" \n", at)) != std::string::npos) {
    std::size_t end = contents->find_first_of(" \n", at);
    fields.push_back(contents->substr(at, end - at));
    at = end;
  }
  if (fields.size() < 20) return std::nullopt;
  return fields;
}

}  // namespace

std::optional<ProcessId> look_up_process(pid_t pid) {
  std::optional<std::vector<std::string>> fields = stat_fields(pid);
  if (!fields) {
    if (::kill(pid, 0) != 0) return std::nullopt;
    return ProcessId{pid, 0};  // no /proc: the id alone
  }
  if ((*fields)[0] == "Z") return std::nullopt;
  // Field 22, the start time, is the 20th after the command name.
  return ProcessId{pid, std::strtoull((*fields)[19].c_str(), nullptr, 10)};
}

bool wait_process_gone(const ProcessId& process, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    std::optional<ProcessId> now = look_up_process(process.pid);
    if (!now || now->start_time != process.start_time) return true;
    if (Clock::now() >= deadline) return false;
    ::usleep(1000);
  }
}

std::vector<ProcessId> child_processes(pid_t parent) {
  std::vector<ProcessId> children;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return children;
  const std::string parent_text = std::to_string(parent);
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    std::optional<std::vector<std::string>> fields = stat_fields(static_cast<pid_t>(pid));
    if (!fields || (*fields)[1] != parent_text || (*fields)[0] == "Z") continue;
    children.push_back(
        ProcessId{static_cast<pid_t>(pid), std::strtoull((*fields)[19].c_str(), nullptr, 10)});
  }
  ::closedir(proc);
  return children;
}

bool process_alive(pid_t pid) {
  std::optional<std::string> contents = read_proc_stat(pid);
  if (!contents) return ::kill(pid, 0) == 0;
  std::size_t paren = contents->rfind(')');
  if (paren == std::string::npos || paren + 2 >= contents->size()) return false;
  return (*contents)[paren + 2] != 'Z';
}

}  // namespace qlp::test
