#include "proc_stats.h"

#include <dirent.h>
#include <time.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <string_view>

namespace qlp::bench {
namespace {

/// The number after "Key:" in a /proc file of "Key: value" lines; -1 when absent.
Result<std::int64_t> field(const std::string& path, std::string_view key) {
  std::ifstream in(path);
  if (!in) return Error("cannot read " + path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 &&
        line[key.size()] == ':') {
      return static_cast<std::int64_t>(std::stoll(line.substr(key.size() + 1)));
    }
  }
  return std::int64_t{-1};
}

}  // namespace

Result<MemoryUse> read_memory(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid);
  MemoryUse use;
  Result<std::int64_t> rss = field(dir + "/status", "VmRSS");
  Result<std::int64_t> peak = field(dir + "/status", "VmHWM");
  Result<std::int64_t> pss = field(dir + "/smaps_rollup", "Pss");
  if (!rss) return std::move(rss).error();
  if (!peak) return std::move(peak).error();
  if (!pss) return std::move(pss).error();
  if (*rss < 0 || *peak < 0 || *pss < 0)
    return Error("no memory figures for process " + std::to_string(pid));
  use.rss_kib = static_cast<std::uint64_t>(*rss);
  use.peak_rss_kib = static_cast<std::uint64_t>(*peak);
  use.pss_kib = static_cast<std::uint64_t>(*pss);
  return use;
}

Result<std::chrono::nanoseconds> cpu_time(pid_t pid) {
  clockid_t clock;
  if (int failed = ::clock_getcpuclockid(pid, &clock); failed != 0) return Error::os(failed);
  timespec now{};
  if (::clock_gettime(clock, &now) != 0) return Error::os(errno);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

Result<std::uint64_t> context_switches(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = ::opendir(tasks.c_str());
  if (dir == nullptr) return Error::os(errno).wrap("cannot list " + tasks);
  std::uint64_t total = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string status = tasks + "/" + entry->d_name + "/status";
    for (std::string_view key : {"voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"}) {
      Result<std::int64_t> count = field(status, key);
      // A thread that ended while the directory was being read has nothing more to count.
      if (count && *count > 0) total += static_cast<std::uint64_t>(*count);
    }
  }
  ::closedir(dir);
  return total;
}

}  // namespace qlp::bench
