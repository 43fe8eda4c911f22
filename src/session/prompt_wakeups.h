// A request to the scheduler about the bridge's own threads.
#pragma once

namespace qlp {

/// Asks the scheduler to run the calling thread, and the threads it starts from now on, soon after
/// they wake rather than after the time slice of whatever busy process holds the CPU. Every one of
/// the bridge's threads runs for microseconds per wake-up, and each keystroke's echo wakes two of
/// them in turn; on a busy machine, a wake-up that waits for another process's slice is what makes
/// an echo's tail. Processes started before the call keep their defaults. Nothing to do where the
/// platform offers no such request; a refusal changes nothing.
void prefer_prompt_wakeups();

}  // namespace qlp
