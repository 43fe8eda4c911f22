// quelt-attach: a person's terminal, through the bridge, to a shell or any program.
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "attach/bridge_process.h"
#include "attach/options.h"
#include "attach/raw_terminal.h"
#include "attach/session.h"
#include "attach/signals.h"
#include "attach/spawn_request.h"
#include "attach/trace.h"
#include "bridge_client/frames.h"

extern char** environ;

namespace {

constexpr int kFailure = 1;
constexpr int kUsage = 2;

void complain(const std::string& text) { std::fprintf(stderr, "quelt-attach: %s\n", text.c_str()); }

std::optional<std::string> current_directory() {
  std::vector<char> buffer(PATH_MAX);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
  return std::string(buffer.data());
}

int attach(const qlp::attach::Options& options) {
  using namespace qlp::attach;

  std::unique_ptr<Trace> trace;
  if (options.trace_path) {
    auto opened = Trace::open(*options.trace_path);
    if (!opened) {
      complain("cannot open the trace file " + *options.trace_path + ": " +
               opened.error().message());
      return kFailure;
    }
    trace = std::move(*opened);
  }

  // The window size is read from whichever standard stream is a terminal.
  int size_fd = isatty(0) ? 0 : isatty(1) ? 1 : -1;
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  const char* shell = std::getenv("SHELL");
  auto request = build_spawn_request(
      options.command, shell ? std::optional<std::string>(shell) : std::nullopt, environment,
      current_directory(), size_fd == -1 ? std::nullopt : terminal_size(size_fd));
  if (!request) {
    complain(request.error().message());
    return kUsage;
  }

  auto events = install_signal_handlers();
  if (!events) {
    complain("cannot install signal handlers: " + events.error().message());
    return kFailure;
  }
  auto bridge = BridgeProcess::start(options.bridge);
  if (!bridge) {
    complain("cannot start the bridge " + options.bridge + ": " + bridge.error().message());
    return kFailure;
  }

  qlp::Result<SessionOutcome> outcome = qlp::Error("not run");
  {
    RawModeGuard restore_on_every_return;
    if (auto raw = enter_raw_mode(0); !raw) {
      leave_raw_mode();
      complain("cannot put the terminal in raw mode: " + raw.error().message());
      bridge->close_input();
      (void)bridge->wait();
      return kFailure;
    }
    SessionIo io;
    io.signal_events = *events;
    io.size_fd = size_fd;
    outcome = run_session(*bridge, qlp::client::spawn_frame_line(*request), io, trace.get());
  }

  if (!outcome) {
    complain("the session failed: " + outcome.error().message());
    return kFailure;
  }
  if (outcome->protocol_problem) {
    complain("warning: unreadable line from the bridge: " + *outcome->protocol_problem);
  }
  if (outcome->error_message) {
    complain(*outcome->error_message);
    return kFailure;
  }
  if (!outcome->exit_code) {
    complain("the bridge ended without an exit frame (" +
             describe_wait_status(outcome->bridge_status) + ")");
    return kFailure;
  }
  return *outcome->exit_code <= 255 ? static_cast<int>(*outcome->exit_code) : 255;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  auto options = qlp::attach::parse_options(args, qlp::attach::default_bridge_path());
  if (!options) {
    complain(options.error().message());
    std::fputs(qlp::attach::usage_text(), stderr);
    return kUsage;
  }
  if (options->help) {
    std::fputs(qlp::attach::usage_text(), stdout);
    return 0;
  }
  return attach(*options);
}
