#include "session/session_driver.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "command/command_builder.h"
#include "frames/base64.h"
#include "frames/input_frame.h"
#include "frames/shared_stdout.h"
#include "session/foreground_process.h"
#include "session/line_reader.h"
#include "session/output_pump.h"
#include "session/process.h"
#include "session/prompt_wakeups.h"
#include "session/slave_lifetime.h"
#include "session/terminal_input.h"
#include "pty/child.h"
#include "pty/pty_system.h"
#include "pty/unix_child.h"
#include "text/unicode_tables.h"

namespace qlp {
namespace {

constexpr std::uint16_t kDefaultRows = 24;
constexpr std::uint16_t kDefaultCols = 80;
// How long an orderly shutdown waits for the terminal to be drained.
constexpr std::chrono::milliseconds kDrainQuiet{100};
constexpr std::chrono::milliseconds kDrainLimit{2000};
// The shutdown hangs the program up, and once more if it is still running this long after. bash
// can miss a SIGHUP that comes as it goes back to reading a line, and then waits for input that
// never comes; but a second SIGHUP within a millisecond or so of the first, while it is still
// handling that one, makes it end without hanging up its background jobs.
constexpr std::chrono::milliseconds kSecondHangUpAfter{500};

template <typename Body>
std::thread start_thread(Body body) {
  try {
    return std::thread(std::move(body));
  } catch (const std::system_error& error) {
    std::fprintf(stderr, "failed to spawn thread: %s\n", error.what());
    exit_process(101);
  }
}

/// The next non-blank line: a line, nothing at end of input, or the read error.
Result<std::optional<std::string_view>> next_frame_line(LineReader& reader) {
  for (;;) {
    Result<std::optional<std::string_view>> line = reader.next_line();
    if (!line || !line->has_value() || !is_blank_line(**line)) return line;
  }
}

/// Whether every other holder of the terminal has closed it (the child and
/// anything it left behind): the master side then reports a hang-up.
bool terminal_hung_up(int master_fd) {
  pollfd waiting{master_fd, 0, 0};
  return ::poll(&waiting, 1, 0) == 1 && (waiting.revents & POLLHUP) != 0;
}

/// Everything the driver obtains, in the order it is obtained; released in
/// the order the members are declared in reverse, which is the order an
/// ending session needs (the writer's end-of-file bytes before the master
/// closes).
struct Session {
  std::shared_ptr<SharedStdout> out;
  std::optional<LineReader> input;
  /// What the parent asked for in the spawn frame.
  Features features;
  std::unique_ptr<PtySystem> pty_system;
  std::unique_ptr<MasterPty> master;
  std::unique_ptr<ChildKiller> killer;
  std::unique_ptr<ByteSink> writer;
  std::thread pump;
  std::thread watcher;
  /// Set by the watcher once it has written the exit frame.
  std::shared_ptr<std::promise<void>> watched = std::make_shared<std::promise<void>>();
  std::shared_ptr<PumpProgress> progress;

  ~Session() {
    // Neither thread is waited for here: on the fatal path the process ends
    // under the emitter's lock with both possibly still running.
    if (pump.joinable()) pump.detach();
    if (watcher.joinable()) watcher.detach();
  }
};

Result<InputFrame::Spawn> read_spawn_frame(LineReader& reader) {
  Result<std::optional<std::string_view>> line = next_frame_line(reader);
  if (!line) return std::move(line).error();
  if (!line->has_value()) return Error("missing spawn frame");
  Result<InputFrame> frame = parse_input_frame(**line);
  if (!frame) return std::move(frame).error();
  auto* spawn = std::get_if<InputFrame::Spawn>(&frame->frame);
  if (spawn == nullptr) return Error("first frame must be spawn");
  return std::move(*spawn);
}

CommandBuilder build_command(const InputFrame::Spawn& spawn) {
  CommandBuilder builder(spawn.shell_path);
  builder.args(spawn.shell_args);
  if (spawn.cwd && !is_blank_line(*spawn.cwd)) builder.cwd(*spawn.cwd);
  if (spawn.env) {
    for (const auto& [name, value] : *spawn.env) {
      if (value) {
        builder.env(name, *value);
      } else {
        builder.env_remove(name);
      }
    }
  }
  return builder;
}

/// The answer to a query: the terminal's foreground process group, by its
/// leader. Read when asked, never watched, so it costs nothing meanwhile.
OutputFrame::Process describe_foreground(MasterPty& master) {
  OutputFrame::Process process;
  const std::optional<pid_t> leader = master.process_group_leader();
  if (!leader) return process;
  process.pid = static_cast<std::uint32_t>(*leader);
  ProcessDescription description = describe_process(*leader);
  process.name = std::move(description.name);
  process.cwd = std::move(description.cwd);
  return process;
}

/// Serves frames until end of input or a kill frame; an error is fatal.
Result<void> serve_frames(Session& session) {
  for (;;) {
    Result<std::optional<std::string_view>> line = next_frame_line(*session.input);
    if (!line) return std::move(line).error();
    if (!line->has_value()) return {};
    Result<InputFrame> frame = parse_input_frame(**line, session.features);
    if (!frame) return std::move(frame).error();
    if (std::holds_alternative<InputFrame::Spawn>(frame->frame)) {
      return Error("unexpected duplicate spawn frame");
    }
    if (auto* input = std::get_if<InputFrame::Input>(&frame->frame)) {
      Result<std::string> bytes = base64_decode(input->data);
      if (!bytes) return std::move(bytes).error();
      Result<void> wrote = write_input(*session.writer, *bytes);
      if (!wrote) return wrote;
    } else if (auto* resize = std::get_if<InputFrame::Resize>(&frame->frame)) {
      Result<void> resized = session.master->resize(PtySize{resize->rows, resize->cols, 0, 0});
      if (!resized) return resized;
    } else if (auto* signal = std::get_if<InputFrame::Signal>(&frame->frame)) {
      // The program may survive it; the session goes on until its exit, as
      // ever. A signal that cannot be delivered has nobody to be told to.
      if (auto* signaller = session.killer->downcast<ProcessSignaller>()) {
        (void)signaller->send_signal(signal->number);
      }
    } else if (std::holds_alternative<InputFrame::Query>(frame->frame)) {
      // Written whole through the emitter like every frame, so that it sits
      // between data frames, never inside one.
      Result<void> answered =
          emit_frame(*session.out, OutputFrame{describe_foreground(*session.master)});
      if (!answered) return answered;
    } else {
      // The hang-ups are the shutdown's, spaced as bash needs them.
      return {};
    }
  }
}

}  // namespace

Result<void> run(Features& accepted) {
  Session session;
  session.out = SharedStdout::create();
  session.input.emplace(STDIN_FILENO);

  Result<InputFrame::Spawn> spawn = read_spawn_frame(*session.input);
  if (!spawn) return std::move(spawn).error();
  if (spawn->features) session.features = Features::accept(*spawn->features);
  accepted = session.features;

  CommandBuilder builder = build_command(*spawn);
  session.pty_system = native_pty_system();
  PtySize size{spawn->rows.value_or(kDefaultRows), spawn->cols.value_or(kDefaultCols), 0, 0};
  Result<PtyPair> pair = session.pty_system->openpty(size);
  if (!pair) return std::move(pair).error();
  std::unique_ptr<SlavePty> slave = std::move(pair->slave);
  session.master = std::move(pair->master);

  Result<std::unique_ptr<Child>> child = slave->spawn_command(std::move(builder));
  if (!child) return std::move(child).error().wrap("failed to spawn shell " + spawn->shell_path);
  session.killer = (*child)->clone_killer();
  // After the child has been started, so that it keeps the defaults, and before the pump and the
  // watcher, which inherit the request.
  prefer_prompt_wakeups();
  std::unique_ptr<SlavePty> slave_until_reaped = slave_for_the_exit_watcher(std::move(slave));

  Result<std::unique_ptr<ByteSource>> reader = session.master->try_clone_reader();
  if (!reader) return std::move(reader).error();
  Result<std::unique_ptr<ByteSink>> writer = session.master->take_writer();
  if (!writer) return std::move(writer).error();
  session.writer = std::move(*writer);

  session.progress = std::make_shared<PumpProgress>();
  session.pump = start_thread([reader = std::move(*reader), out = session.out,
                               progress = session.progress]() mutable {
    pump_output(std::move(reader), std::move(out), std::move(progress));
  });

  OutputFrame::Ready ready_frame;
  if (session.features.asked()) ready_frame.features = session.features.names();
  if (session.features.has(Feature::kPid)) ready_frame.pid = (*child)->process_id();
  Result<void> ready = emit_frame(*session.out, OutputFrame{std::move(ready_frame)});
  if (!ready) return ready;

  session.watcher = start_thread([child = std::move(*child), out = session.out,
                                  name_signal = session.features.has(Feature::kSignal),
                                  slave = std::move(slave_until_reaped),
                                  watched = session.watched]() mutable {
    watch_exit(std::move(child), std::move(out), name_signal);
    watched->set_value();
  });

  Result<void> served = serve_frames(session);
  if (!served) return served;

  // Orderly shutdown.
  session.input.reset();
  (void)session.killer->kill();
  if (session.watched->get_future().wait_for(kSecondHangUpAfter) == std::future_status::timeout) {
    (void)session.killer->kill();
  }
  session.watcher.join();
  // The child has ended, but what it wrote last may still sit in the terminal:
  // give the pump the chance to forward it. A background process that keeps
  // the terminal open must not keep us alive, hence the quiet and total limits.
  const std::optional<int> terminal = session.master->as_raw_fd();
  session.progress->wait_for_end(kDrainQuiet, kDrainLimit, [&terminal] {
    return !terminal || !terminal_hung_up(*terminal);
  });
  return {};
}

}  // namespace qlp
