#include <linux/sched.h>
#include <linux/sched/types.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

#include "session/prompt_wakeups.h"

namespace qlp {

// The shortest slice Linux grants an ordinary thread. Since Linux 6.12 a thread with a shorter
// slice than the running one may take the CPU at once when it wakes; the priority and the CPU
// share stay what they were. Older kernels take the request and ignore it.
void prefer_prompt_wakeups() {
  constexpr std::uint64_t kSliceNs = 100 * 1000;
  sched_attr attr{};
  attr.size = sizeof attr;
  attr.sched_policy = SCHED_NORMAL;
  attr.sched_runtime = kSliceNs;
  (void)::syscall(SYS_sched_setattr, 0, &attr, 0);
}

}  // namespace qlp
