#include "session/output_pump.h"

#include <cerrno>
#include <span>
#include <string_view>
#include <thread>

#include "frames/signal_names.h"

namespace qlp {
namespace {

// Linux may report a terminal's end (EIO, once nobody holds the slave side)
// while the last few kilobytes the child wrote are just being moved into the
// terminal's read buffer; a read an instant later returns them. So an end is
// believed only once more reads, the first at once and then after these
// pauses, find nothing either. It delays only the end of a session.
constexpr std::chrono::microseconds kEndConfirmationPauses[] = {
    std::chrono::microseconds(0), std::chrono::microseconds(1000),
    std::chrono::microseconds(4000)};

/// After `reader` reported its end: what a later read finds (0 when the end
/// holds), or the read error.
Result<std::size_t> read_after_end(ByteSource& reader, std::span<std::uint8_t> buffer) {
  for (std::chrono::microseconds pause : kEndConfirmationPauses) {
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
    Result<std::size_t> got = reader.read(buffer);
    while (!got && got.error().os_code() == EINTR) got = reader.read(buffer);
    if (!got || *got != 0) return got;
  }
  return std::size_t{0};
}

}  // namespace

void PumpProgress::note_end() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
  }
  ended_changed_.notify_all();
}

bool PumpProgress::wait_for_end(std::chrono::milliseconds quiet, std::chrono::milliseconds limit,
                                const std::function<bool()>& held_elsewhere) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + limit;
  const auto step = std::chrono::milliseconds(10);
  std::uint64_t seen = reads_.load(std::memory_order_relaxed);
  auto quiet_since = Clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (ended_) return true;
    auto now = Clock::now();
    if (now >= deadline) return false;
    std::uint64_t reads = reads_.load(std::memory_order_relaxed);
    if (reads != seen || writing_.load(std::memory_order_relaxed)) {
      seen = reads;
      quiet_since = now;
    } else if (now - quiet_since >= quiet) {
      if (held_elsewhere()) return false;
      quiet_since = now;
    }
    ended_changed_.wait_for(lock, std::min<Clock::duration>(step, deadline - now));
  }
}

void pump_output(std::unique_ptr<ByteSource> reader, std::shared_ptr<SharedStdout> out,
                 std::shared_ptr<PumpProgress> progress) {
  // One buffer for the pump's whole life: nothing grows with the amount of output.
  std::uint8_t buffer[kDataChunkSize];
  for (;;) {
    Result<std::size_t> got = reader->read(std::span<std::uint8_t>(buffer, sizeof buffer));
    if (!got) {
      if (got.error().os_code() == EINTR) continue;
      break;
    }
    if (*got == 0) {
      got = read_after_end(*reader, std::span<std::uint8_t>(buffer, sizeof buffer));
      if (!got || *got == 0) break;
    }
    if (progress) {
      progress->note_read();
      progress->note_writing(true);
    }
    // A frame that cannot be written (the parent closed our standard output)
    // is dropped; the child keeps running and its output is read and discarded.
    (void)emit_data_chunk(*out, std::string_view(reinterpret_cast<const char*>(buffer), *got));
    if (progress) progress->note_writing(false);
  }
  reader.reset();
  if (progress) progress->note_end();
}

void watch_exit(std::unique_ptr<Child> child, std::shared_ptr<SharedStdout> out,
                bool name_signal) {
  Result<ExitStatus> status = child->wait();
  OutputFrame::Exit exit{status ? status->code : 1, std::nullopt};
  if (name_signal && status && status->signal_number != 0) {
    exit.signal = signal_name(status->signal_number);
  }
  (void)emit_frame(*out, OutputFrame{std::move(exit)});
}

}  // namespace qlp
