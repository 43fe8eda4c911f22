// What the scheduler knows about each process taking part in a run, from /proc: CPU time, context
// switches and CPU migrations, the kernel's own threads included.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "base/error.h"

namespace qlp::bench {

/// Counters of one task or of several summed. Differences of two samples give a run's share.
struct TaskSample {
  std::uint64_t cpu_ns = 0;  ///< Time on a CPU (sum_exec_runtime), user and system.
  std::uint64_t switches = 0;
  std::uint64_t migrations = 0;
  std::uint64_t wait_ns = 0;  ///< Time runnable but waiting for a CPU (run_delay).

  TaskSample& operator+=(const TaskSample& other);
  TaskSample operator-(const TaskSample& earlier) const;
};

/// One thread, from /proc/PID/task/TID/sched.
Result<TaskSample> sample_thread(pid_t pid, pid_t tid);
/// Every thread of `pid` now alive, summed (ended threads are not counted).
Result<TaskSample> sample_process(pid_t pid);
/// The calling thread.
Result<TaskSample> sample_this_thread();

/// Counters of a process over its life, threads that have ended included: each thread's last
/// reading is kept. CPU time comes from the process's CPU clock, exact to the end; switches and
/// migrations of a thread that ended after its last reading lack what it did since.
class ProcessTracker {
 public:
  explicit ProcessTracker(pid_t pid) : pid_(pid) {}

  /// Reads every thread now alive.
  void update();
  /// The sum of the last readings, with the CPU time read now when the process still exists.
  TaskSample total() const;

 private:
  pid_t pid_;
  std::vector<std::pair<pid_t, TaskSample>> threads_;
};

/// The only child of `pid` (the program a relay started), or -1 when there is none yet.
pid_t find_child(pid_t pid);

/// The CPU time of one process, read cheaply and often, so that the last reading before it ends
/// is close to its total: a relay reaps its program at once, after which nothing is left to read.
class CpuWatch {
 public:
  explicit CpuWatch(pid_t pid);
  ~CpuWatch();
  CpuWatch(const CpuWatch&) = delete;
  CpuWatch& operator=(const CpuWatch&) = delete;

  /// Reads the time again; keeps the last reading when the process has gone.
  void update();
  std::uint64_t last_cpu_ns() const { return last_ns_; }
  std::uint64_t last_timeslices() const { return last_slices_; }

 private:
  int fd_ = -1;
  std::uint64_t last_ns_ = 0;
  std::uint64_t last_slices_ = 0;
};

/// The kernel's threads (kthreadd and its children: workers that move terminal bytes, softirq
/// threads, ...), found once; they serve every process on the machine, so their time while one
/// relay is being read is that relay's only as far as nothing else runs.
class KernelThreads {
 public:
  KernelThreads();
  ~KernelThreads();
  KernelThreads(const KernelThreads&) = delete;
  KernelThreads& operator=(const KernelThreads&) = delete;

  /// Their CPU time and run counts, summed.
  TaskSample sample() const;

 private:
  std::vector<int> fds_;  ///< /proc/N/schedstat of each.
};

}  // namespace qlp::bench
