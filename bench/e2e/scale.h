// Many bridges at once: a thousand idle shells, and (opt-in) as many terminals as the kernel will
// give. Not in the test suite; both load the machine.
#pragma once

#include <string>

#include "base/error.h"

namespace qlp::bench {

struct ScaleRun {
  int sessions = 0;
  double to_all_ready_ms = 0;  ///< From the first start to the last ready frame.
  double bridge_pss_kib = 0;   ///< All bridges together, idle.
  double shell_pss_kib = 0;    ///< All their shells together, idle.
  double idle_cpu_ms = 0;      ///< Bridges and shells over the idle window.
  std::uint64_t idle_wakeups = 0;  ///< Context switches of the bridges' threads over the window.
  double idle_window_ms = 0;
  double all_echoes_ms = 0;  ///< From the first typed line to the last one's output.
  double to_all_ended_ms = 0;  ///< From closing every input to the last bridge reaped.
  int left_behind = 0;         ///< Processes of the sessions still alive after the end.
};

/// Starts `sessions` bridges at once, each running an idle /bin/sh, types one line into each,
/// and ends them all.
Result<ScaleRun> run_scale(const std::string& bridge, int sessions, int idle_ms);
std::string render_scale(const ScaleRun& run);

struct ExhaustionRun {
  int running = 0;             ///< Sessions that got a terminal.
  double start_all_ms = 0;     ///< Starting them all, one after another.
  std::string refusal;         ///< The refused bridge's whole output.
  int refused_status = -1;     ///< Its exit status.
  int refused_frames = 0;      ///< Lines it wrote.
  int echoed = 0;              ///< Running sessions that echoed a line typed after the refusal.
  int ended_cleanly = 0;       ///< Running sessions that then ended with an exit frame, status 0.
  int left_behind = 0;
  int pty_max = 0;
  int pty_nr_before = 0;
};

/// Starts bridges running /bin/cat until one cannot get a terminal; then checks the refused one's
/// output and that every running one still echoes and ends cleanly. While it runs the file
/// `flag_path` exists, telling others on the machine that terminals are used up.
Result<ExhaustionRun> run_exhaustion(const std::string& bridge, const std::string& flag_path);
std::string render_exhaustion(const ExhaustionRun& run);

}  // namespace qlp::bench
