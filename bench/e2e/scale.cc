#include "scale.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bridge_client/frames.h"
#include "common.h"
#include "proc_stats.h"
#include "relay_process.h"

extern char** environ;

namespace qlp::bench {
namespace {

double ms_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

/// One bridge, read without blocking so that one thread can serve thousands.
class Session {
 public:
  ~Session() {
    if (input_ >= 0) ::close(input_);
    if (output_ >= 0) ::close(output_);
    if (!reaped_) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }

  static Result<std::unique_ptr<Session>> start(const std::string& bridge,
                                                const std::vector<std::string>& child) {
    client::SpawnRequest request;
    request.shell_path = child.at(0);
    request.shell_args.assign(child.begin() + 1, child.end());
    const std::string line = client::spawn_frame_line(request) + "\n";
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) return Error::os(errno).wrap("pipe");
    if (::pipe2(output, O_CLOEXEC) != 0) {
      const int error = errno;
      ::close(input[0]);
      ::close(input[1]);
      return Error::os(error).wrap("pipe");
    }
    // The spawn frame fits a pipe's buffer, so it can wait there before the bridge exists.
    (void)!::write(input[1], line.data(), line.size());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    std::string program = bridge;
    char* argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    if (spawned != 0) {
      ::close(input[1]);
      ::close(output[0]);
      return Error::os(spawned).wrap("cannot start " + bridge);
    }
    ::fcntl(output[0], F_SETFL, ::fcntl(output[0], F_GETFL) | O_NONBLOCK);
    auto session = std::unique_ptr<Session>(new Session);
    session->pid_ = pid;
    session->input_ = input[1];
    session->output_ = output[0];
    return session;
  }

  /// Reads whatever is there; false once output has ended.
  Result<bool> read_available() {
    for (;;) {
      const std::span<char> space = pending_.space();
      const ssize_t n = ::read(output_, space.data(), space.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return true;
      if (n < 0) return Error::os(errno);
      if (n == 0) {
        ended_ = true;
        if (pending_.partial()) return Error("output ended inside a line");
        return false;
      }
      pending_.commit(static_cast<std::size_t>(n));
      while (std::optional<std::string_view> line = pending_.next()) {
        Result<void> took = take_line(*line);
        if (!took) return std::move(took).error();
      }
    }
  }

  Result<void> type(std::string_view bytes) {
    const std::string frame = client::input_frame_line(bytes) + "\n";
    if (::write(input_, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
      return Error::os(errno).wrap("cannot type into a session");
    }
    return {};
  }

  void close_input() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }

  /// Reaps the bridge once its output has ended; its wait status.
  int reap() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return status;
  }

  pid_t pid() const { return pid_; }
  int output_fd() const { return output_; }
  bool ready() const { return ready_; }
  bool ended() const { return ended_; }
  const std::string& text() const { return text_; }
  const std::vector<std::string>& lines() const { return lines_; }
  std::optional<std::uint32_t> exit_code() const { return exit_code_; }
  bool errored() const { return errored_; }

  pid_t child = -1;

 private:
  Session() = default;

  Result<void> take_line(std::string_view line) {
    if (lines_.size() < 8) lines_.emplace_back(line);
    Result<client::BridgeFrame> got = client::parse_bridge_frame(line);
    if (!got) return std::move(got).error().wrap("unexpected output line: " +
                                                 std::string(line.substr(0, 200)));
    switch (got->type) {
      case client::BridgeFrame::Type::kReady:
        ready_ = true;
        break;
      case client::BridgeFrame::Type::kData:
        if (got->bytes.empty() || got->bytes.size() > kMaxFrameBytes) return Error("bad data frame");
        text_ += got->bytes;
        // Only the end matters here; an idle shell says little.
        if (text_.size() > 4096) text_.erase(0, text_.size() - 1024);
        break;
      case client::BridgeFrame::Type::kExit:
        exit_code_ = got->code;
        break;
      case client::BridgeFrame::Type::kError:
        errored_ = true;
        break;
    }
    return {};
  }

  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  bool reaped_ = false;
  bool ready_ = false;
  bool ended_ = false;
  bool errored_ = false;
  std::optional<std::uint32_t> exit_code_;
  // Thousands of sessions each hold one: small, since an idle shell says little.
  LineSplitter pending_{4096};
  std::string text_;
  std::vector<std::string> lines_;
};

using Sessions = std::vector<std::unique_ptr<Session>>;

/// Serves every session's output until `done` holds for each of them (or its output ended).
Result<void> serve_until(Sessions& sessions, const std::function<bool(const Session&)>& done,
                         Clock::time_point deadline) {
  std::vector<pollfd> fds;
  std::vector<Session*> owners;
  for (;;) {
    fds.clear();
    owners.clear();
    for (auto& session : sessions) {
      if (session->ended() || done(*session)) continue;
      fds.push_back({session->output_fd(), POLLIN, 0});
      owners.push_back(session.get());
    }
    if (fds.empty()) return {};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return Error("timed out with " + std::to_string(fds.size()) + " sessions still waited for");
    }
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::min<long>(left, 1000)));
    if (ready < 0 && errno != EINTR) return Error::os(errno);
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Result<bool> more = owners[i]->read_available();
      if (!more) return std::move(more).error().wrap("session " + std::to_string(owners[i]->pid()));
    }
  }
}

/// Parent of every process, read once: far cheaper than a search per session.
std::unordered_map<pid_t, pid_t> children_by_parent() {
  std::unordered_map<pid_t, pid_t> children;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return children;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::ifstream in(std::string("/proc/") + entry->d_name + "/stat");
    std::string stat;
    std::getline(in, stat);
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) continue;
    children[std::atoi(stat.c_str() + close + 4)] = std::atoi(entry->d_name);
  }
  ::closedir(dir);
  return children;
}

bool alive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno != ESRCH); }

/// Closes every input, serves the output to its end and reaps each bridge. Counts those that
/// wrote an exit frame and exited with status 0, and the processes still alive afterwards.
Result<std::pair<int, int>> end_all(Sessions& sessions, Clock::time_point deadline) {
  for (auto& session : sessions) session->close_input();
  Result<void> served = serve_until(sessions, [](const Session&) { return false; }, deadline);
  if (!served) return std::move(served).error();
  int clean = 0;
  for (auto& session : sessions) {
    const int status = session->reap();
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && session->exit_code()) ++clean;
  }
  int left = 0;
  for (auto& session : sessions) {
    if (alive(session->pid())) ++left;
    if (alive(session->child)) ++left;
  }
  return std::make_pair(clean, left);
}

int read_int(const char* path) {
  std::ifstream in(path);
  int value = -1;
  in >> value;
  return value;
}

std::string row(const std::string& name, const std::string& value) {
  return "| " + name + " | " + value + " |\n";
}

std::string number(double value, const char* form = "%.1f") {
  char text[64];
  std::snprintf(text, sizeof text, form, value);
  return text;
}

}  // namespace

Result<ScaleRun> run_scale(const std::string& bridge, int count, int idle_ms) {
  ScaleRun run;
  run.sessions = count;
  run.idle_window_ms = idle_ms;
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  Sessions sessions;
  const auto started = Clock::now();
  for (int i = 0; i < count; ++i) {
    // An interactive shell, quiet until it is typed into.
    Result<std::unique_ptr<Session>> session = Session::start(bridge, {"/bin/sh"});
    if (!session) return std::move(session).error();
    sessions.push_back(std::move(*session));
  }
  Result<void> ready =
      serve_until(sessions, [](const Session& s) { return s.ready(); }, deadline);
  if (!ready) return std::move(ready).error().wrap("waiting for ready frames");
  run.to_all_ready_ms = ms_between(started, Clock::now());
  for (auto& session : sessions) {
    if (!session->ready()) return Error("a session ended before it was ready");
  }

  // Let the shells print their prompts and every exit watcher start, then watch them idle.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Result<void> drained = serve_until(
      sessions, [](const Session& s) { return !s.text().empty(); }, deadline);
  if (!drained) return std::move(drained).error().wrap("waiting for prompts");
  const auto children = children_by_parent();
  for (auto& session : sessions) {
    auto found = children.find(session->pid());
    if (found == children.end()) return Error("a bridge has no child");
    session->child = found->second;
  }
  for (auto& session : sessions) {
    Result<MemoryUse> bridge_memory = read_memory(session->pid());
    Result<MemoryUse> shell_memory = read_memory(session->child);
    if (!bridge_memory) return std::move(bridge_memory).error();
    if (!shell_memory) return std::move(shell_memory).error();
    run.bridge_pss_kib += static_cast<double>(bridge_memory->pss_kib);
    run.shell_pss_kib += static_cast<double>(shell_memory->pss_kib);
  }
  auto sample = [&]() -> Result<std::pair<std::chrono::nanoseconds, std::uint64_t>> {
    std::chrono::nanoseconds cpu{0};
    std::uint64_t switches = 0;
    for (auto& session : sessions) {
      for (pid_t pid : {session->pid(), session->child}) {
        Result<std::chrono::nanoseconds> used = cpu_time(pid);
        if (!used) return std::move(used).error();
        cpu += *used;
      }
      Result<std::uint64_t> count = context_switches(session->pid());
      if (!count) return std::move(count).error();
      switches += *count;
    }
    return std::make_pair(cpu, switches);
  };
  auto before = sample();
  if (!before) return std::move(before).error();
  std::this_thread::sleep_for(std::chrono::milliseconds(idle_ms));
  auto after = sample();
  if (!after) return std::move(after).error();
  run.idle_cpu_ms = std::chrono::duration<double, std::milli>(after->first - before->first).count();
  run.idle_wakeups = after->second - before->second;

  // One line typed into each; its output, not the terminal's echo of it, holds "ok42".
  const auto typed = Clock::now();
  for (auto& session : sessions) {
    Result<void> wrote = session->type("echo ok$((6*7))\n");
    if (!wrote) return std::move(wrote).error();
  }
  Result<void> echoed = serve_until(
      sessions,
      [](const Session& s) { return s.text().find("ok42\r\n") != std::string::npos; }, deadline);
  if (!echoed) return std::move(echoed).error().wrap("waiting for the echoes");
  run.all_echoes_ms = ms_between(typed, Clock::now());
  for (auto& session : sessions) {
    if (session->text().find("ok42\r\n") == std::string::npos) {
      return Error("a session ended before its echo");
    }
  }

  const auto ending = Clock::now();
  Result<std::pair<int, int>> ended = end_all(sessions, deadline);
  if (!ended) return std::move(ended).error();
  run.to_all_ended_ms = ms_between(ending, Clock::now());
  if (ended->first != count) {
    return Error(std::to_string(count - ended->first) + " sessions did not end cleanly");
  }
  run.left_behind = ended->second;
  return run;
}

std::string render_scale(const ScaleRun& run) {
  const double n = run.sessions;
  std::string table = "| Figure | Value |\n|---|---:|\n";
  table += row("Sessions (bridge + idle /bin/sh each)", std::to_string(run.sessions));
  table += row("Start to every ready frame (ms)", number(run.to_all_ready_ms));
  table += row("PSS of all bridges (MiB)", number(run.bridge_pss_kib / 1024));
  table += row("PSS per bridge (KiB)", number(run.bridge_pss_kib / n));
  table += row("PSS per shell (KiB)", number(run.shell_pss_kib / n));
  table += row("Idle CPU of all bridges and shells over " + number(run.idle_window_ms, "%.0f") +
                   " ms (ms)",
               number(run.idle_cpu_ms, "%.2f"));
  table += row("Idle wake-ups of all bridges over the window (count)",
               std::to_string(run.idle_wakeups));
  table += row("One line typed into each, to the last output (ms)", number(run.all_echoes_ms));
  table += row("End of every input to the last bridge reaped (ms)", number(run.to_all_ended_ms));
  table += row("Sessions ended cleanly (exit frame, status 0)", std::to_string(run.sessions));
  table += row("Processes left behind", std::to_string(run.left_behind));
  return table;
}

namespace {

const char* flag_to_remove = nullptr;

void remove_flag_and_die(int signal_number) {
  if (flag_to_remove != nullptr) ::unlink(flag_to_remove);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

/// While it lives, the flag file exists; it goes on every way out, signals included.
class Flag {
 public:
  explicit Flag(const std::string& path) : path_(path) {
    std::ofstream(path_) << "terminal exhaustion run, pid " << ::getpid() << "\n";
    flag_to_remove = path_.c_str();
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(s, remove_flag_and_die);
  }
  ~Flag() {
    ::unlink(path_.c_str());
    flag_to_remove = nullptr;
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(s, SIG_DFL);
  }
  Flag(const Flag&) = delete;
  Flag& operator=(const Flag&) = delete;

 private:
  std::string path_;
};

}  // namespace

Result<ExhaustionRun> run_exhaustion(const std::string& bridge, const std::string& flag_path) {
  ExhaustionRun run;
  run.pty_max = read_int("/proc/sys/kernel/pty/max");
  run.pty_nr_before = read_int("/proc/sys/kernel/pty/nr");
  const auto deadline = Clock::now() + std::chrono::seconds(240);
  Flag flag(flag_path);
  Sessions running;
  Sessions refused;
  constexpr int kBatch = 64;
  const int limit = (run.pty_max > 0 ? run.pty_max : 4096) + kBatch;
  const auto started = Clock::now();
  while (refused.empty() && static_cast<int>(running.size()) < limit) {
    Sessions batch;
    for (int i = 0; i < kBatch; ++i) {
      Result<std::unique_ptr<Session>> session = Session::start(bridge, {"/bin/cat"});
      if (!session) return std::move(session).error();
      batch.push_back(std::move(*session));
    }
    Result<void> served =
        serve_until(batch, [](const Session& s) { return s.ready(); }, deadline);
    if (!served) return std::move(served).error();
    for (auto& session : batch) {
      (session->ready() ? running : refused).push_back(std::move(session));
    }
  }
  run.start_all_ms = ms_between(started, Clock::now());
  run.running = static_cast<int>(running.size());
  if (refused.empty()) return Error("every bridge got a terminal");
  // Every refused bridge must have said why in one frame and ended with status 1.
  for (auto& session : refused) {
    const int status = session->reap();
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const int frames = static_cast<int>(session->lines().size());
    if (run.refusal.empty()) {
      run.refused_status = code;
      run.refused_frames = frames;
      for (const std::string& line : session->lines()) run.refusal += line;
    }
    if (code != 1 || frames != 1 || !session->errored()) {
      return Error("a refused bridge ended with status " + std::to_string(code) + " after " +
                   std::to_string(frames) + " lines: " +
                   (session->lines().empty() ? std::string() : session->lines().front()));
    }
  }
  const auto children = children_by_parent();
  for (auto& session : running) {
    auto found = children.find(session->pid());
    if (found != children.end()) session->child = found->second;
    Result<void> wrote = session->type("ping\n");
    if (!wrote) return std::move(wrote).error();
  }
  // The terminal echoes the line, then cat writes it back.
  auto echoed = [](const Session& s) {
    return s.text().find("ping\r\nping\r\n") != std::string::npos;
  };
  Result<void> served = serve_until(running, echoed, deadline);
  if (!served) return std::move(served).error();
  for (auto& session : running) run.echoed += echoed(*session) ? 1 : 0;
  Result<std::pair<int, int>> ended = end_all(running, deadline);
  if (!ended) return std::move(ended).error();
  run.ended_cleanly = ended->first;
  run.left_behind = ended->second;
  return run;
}

std::string render_exhaustion(const ExhaustionRun& run) {
  std::string table = "| Figure | Value |\n|---|---:|\n";
  table += row("Terminals allowed (/proc/sys/kernel/pty/max)", std::to_string(run.pty_max));
  table += row("Terminals in use before the run", std::to_string(run.pty_nr_before));
  table += row("Sessions (bridge + /bin/cat) that got a terminal", std::to_string(run.running));
  table += row("Starting them, 64 at a time (ms)", number(run.start_all_ms, "%.0f"));
  table += row("Refused bridge: exit status", std::to_string(run.refused_status));
  table += row("Refused bridge: lines written", std::to_string(run.refused_frames));
  table += row("Refused bridge: its line", "`" + run.refusal + "`");
  table += row("Running sessions that echoed a line typed after the refusal",
               std::to_string(run.echoed));
  table += row("Running sessions then ended cleanly (exit frame, status 0)",
               std::to_string(run.ended_cleanly));
  table += row("Processes left behind", std::to_string(run.left_behind));
  return table;
}

}  // namespace qlp::bench
