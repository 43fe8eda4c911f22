#include "accounting.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace qlp::bench {
namespace {

/// The whole of a small /proc file, or "" when it cannot be read.
std::string slurp(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

/// The value after "key" and its colon in a /proc/.../sched listing, as a double; -1 if absent.
double sched_field(std::string_view text, std::string_view key) {
  for (std::size_t at = 0; (at = text.find(key, at)) != std::string_view::npos; at += key.size()) {
    if (at > 0 && text[at - 1] != '\n') continue;
    const std::size_t after = at + key.size();
    if (after >= text.size() || (text[after] != ' ' && text[after] != ':')) continue;
    const std::size_t colon = text.find(':', after);
    if (colon == std::string_view::npos) return -1;
    return std::strtod(std::string(text.substr(colon + 1, 40)).c_str(), nullptr);
  }
  return -1;
}

Result<TaskSample> parse_sched(const std::string& text, const std::string& path) {
  if (text.empty()) return Error("cannot read " + path);
  const double runtime_ms = sched_field(text, "se.sum_exec_runtime");
  const double switches = sched_field(text, "nr_switches");
  const double migrations = sched_field(text, "se.nr_migrations");
  if (runtime_ms < 0 || switches < 0 || migrations < 0) return Error("no counters in " + path);
  TaskSample sample;
  sample.cpu_ns = static_cast<std::uint64_t>(runtime_ms * 1e6 + 0.5);
  sample.switches = static_cast<std::uint64_t>(switches);
  sample.migrations = static_cast<std::uint64_t>(migrations);
  return sample;
}

/// "ns timeslices" from a schedstat file: its first and third numbers.
bool read_schedstat(int fd, std::uint64_t* ns, std::uint64_t* slices) {
  char text[128];
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return false;
  text[n] = '\0';
  char* end = nullptr;
  *ns = std::strtoull(text, &end, 10);
  std::strtoull(end, &end, 10);
  *slices = std::strtoull(end, nullptr, 10);
  return true;
}

}  // namespace

TaskSample& TaskSample::operator+=(const TaskSample& other) {
  cpu_ns += other.cpu_ns;
  switches += other.switches;
  migrations += other.migrations;
  wait_ns += other.wait_ns;
  return *this;
}

TaskSample TaskSample::operator-(const TaskSample& earlier) const {
  auto minus = [](std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; };
  return {minus(cpu_ns, earlier.cpu_ns), minus(switches, earlier.switches),
          minus(migrations, earlier.migrations), minus(wait_ns, earlier.wait_ns)};
}

Result<TaskSample> sample_thread(pid_t pid, pid_t tid) {
  const std::string base = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid);
  Result<TaskSample> sample = parse_sched(slurp(base + "/sched"), base + "/sched");
  if (!sample) return sample;
  // "on-CPU ns, waiting ns, timeslices"
  const std::string stat = slurp(base + "/schedstat");
  const char* after_first = std::strchr(stat.c_str(), ' ');
  if (after_first != nullptr) sample->wait_ns = std::strtoull(after_first + 1, nullptr, 10);
  return sample;
}

Result<TaskSample> sample_process(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = ::opendir(tasks.c_str());
  if (dir == nullptr) return Error::os(errno).wrap("cannot list " + tasks);
  TaskSample total;
  bool any = false;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    // A thread that ended while the directory was being read has nothing more to count.
    Result<TaskSample> one = sample_thread(pid, std::atoi(entry->d_name));
    if (!one) continue;
    total += *one;
    any = true;
  }
  ::closedir(dir);
  if (!any) return Error("no threads readable in " + tasks);
  return total;
}

Result<TaskSample> sample_this_thread() {
  return sample_thread(::getpid(), static_cast<pid_t>(::syscall(SYS_gettid)));
}

void ProcessTracker::update() {
  const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
  DIR* dir = ::opendir(tasks.c_str());
  if (dir == nullptr) return;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const pid_t tid = std::atoi(entry->d_name);
    Result<TaskSample> now = sample_thread(pid_, tid);
    if (!now) continue;
    auto known = std::find_if(threads_.begin(), threads_.end(),
                              [&](const auto& thread) { return thread.first == tid; });
    if (known == threads_.end()) {
      threads_.emplace_back(tid, *now);
    } else {
      known->second = *now;
    }
  }
  ::closedir(dir);
}

TaskSample ProcessTracker::total() const {
  TaskSample sum;
  for (const auto& thread : threads_) sum += thread.second;
  clockid_t clock;
  timespec now{};
  if (::clock_getcpuclockid(pid_, &clock) == 0 && ::clock_gettime(clock, &now) == 0) {
    sum.cpu_ns = std::max<std::uint64_t>(
        sum.cpu_ns, static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
                        static_cast<std::uint64_t>(now.tv_nsec));
  }
  return sum;
}

pid_t find_child(pid_t pid) {
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return -1;
  pid_t found = -1;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const std::string stat = slurp(std::string("/proc/") + entry->d_name + "/stat");
    // "pid (comm) state ppid ...": the name may hold anything but ends at the last ')'.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) continue;
    if (std::atoi(stat.c_str() + close + 4) == pid) {
      found = std::atoi(entry->d_name);
      break;
    }
  }
  ::closedir(dir);
  return found;
}

CpuWatch::CpuWatch(pid_t pid) {
  if (pid > 0) {
    fd_ = ::open(("/proc/" + std::to_string(pid) + "/schedstat").c_str(), O_RDONLY | O_CLOEXEC);
  }
  update();
}

CpuWatch::~CpuWatch() {
  if (fd_ >= 0) ::close(fd_);
}

void CpuWatch::update() {
  std::uint64_t ns = 0;
  std::uint64_t slices = 0;
  if (fd_ >= 0 && read_schedstat(fd_, &ns, &slices)) {
    last_ns_ = ns;
    last_slices_ = slices;
  }
}

KernelThreads::KernelThreads() {
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const std::string base = std::string("/proc/") + entry->d_name;
    const std::string stat = slurp(base + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) continue;
    const int parent = std::atoi(stat.c_str() + close + 4);
    if (parent != 2 && std::atoi(entry->d_name) != 2) continue;
    const int fd = ::open((base + "/schedstat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) fds_.push_back(fd);
  }
  ::closedir(dir);
}

KernelThreads::~KernelThreads() {
  for (int fd : fds_) ::close(fd);
}

TaskSample KernelThreads::sample() const {
  TaskSample total;
  for (int fd : fds_) {
    std::uint64_t ns = 0;
    std::uint64_t slices = 0;
    if (!read_schedstat(fd, &ns, &slices)) continue;
    total.cpu_ns += ns;
    total.switches += slices;
  }
  return total;
}

}  // namespace qlp::bench
