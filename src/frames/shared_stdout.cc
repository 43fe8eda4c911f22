#include "frames/shared_stdout.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <mutex>
#include <string>

#include "frames/base64.h"

namespace qlp {
namespace {

// Guards the bytes of every frame line written to standard output (or to a test's descriptor) and
// the poisoned flag of every SharedStdout. Never destroyed: threads may still be writing frames
// while the process ends, and its exit keeps it locked until _exit.
std::mutex& stdout_mutex() {
  static std::mutex* const mutex = new std::mutex;
  return *mutex;
}

// Each writing thread builds its lines here, outside the lock; the buffer keeps its capacity, so
// a steady stream of data frames allocates nothing.
std::string& line_buffer() {
  thread_local std::string buffer;
  buffer.clear();
  return buffer;
}

constexpr std::string_view kDataPrefix = R"({"type":"data","data":")";
constexpr std::string_view kDataSuffix = "\"}\n";

}  // namespace

namespace detail {

FrameLock::FrameLock(SharedStdout& out) : out_(out), uncaught_at_entry_(std::uncaught_exceptions()) {
  stdout_mutex().lock();
}

FrameLock::~FrameLock() {
  // More exceptions in flight than at entry: the writer is unwinding out of the locked region,
  // and what it left on the descriptor can no longer be trusted to be a whole line.
  if (std::uncaught_exceptions() > uncaught_at_entry_) out_.poisoned_ = true;
  stdout_mutex().unlock();
}

bool FrameLock::poisoned() const { return out_.poisoned_; }

int FrameLock::fd() const { return out_.fd_; }

}  // namespace detail

std::shared_ptr<SharedStdout> SharedStdout::create(int fd) {
  return std::shared_ptr<SharedStdout>(new SharedStdout(fd));
}

Result<void> emit_frame(SharedStdout& out, const OutputFrame& frame) {
  std::string& line = line_buffer();
  append_frame_line(frame, line);
  return with_frame_lock(out, [&](int fd) { return write_all(fd, line); });
}

Result<void> emit_data_chunk(SharedStdout& out, std::string_view chunk) {
  if (chunk.size() <= kDataChunkSize) {
    // The pump's chunks: the line is built on the stack, where nothing is zero-filled first, as
    // growing a string to the encoded length would do for every frame.
    char line[kDataPrefix.size() + base64_encoded_length(kDataChunkSize) + kDataSuffix.size()];
    char* end = std::copy(kDataPrefix.begin(), kDataPrefix.end(), line);
    end = base64_encode_to(chunk, end);
    end = std::copy(kDataSuffix.begin(), kDataSuffix.end(), end);
    const std::string_view bytes(line, static_cast<std::size_t>(end - line));
    return with_frame_lock(out, [&](int fd) { return write_all(fd, bytes); });
  }
  std::string& line = line_buffer();
  line.reserve(kDataPrefix.size() + base64_encoded_length(chunk.size()) + kDataSuffix.size());
  line += kDataPrefix;
  // Base64 text holds no byte that a JSON string escapes, so it goes in without the escaper.
  base64_encode_append(chunk, line);
  line += kDataSuffix;
  return with_frame_lock(out, [&](int fd) { return write_all(fd, line); });
}

Result<void> emit_error(std::string_view message) {
  std::string& line = line_buffer();
  append_frame_line(OutputFrame{OutputFrame::Error{std::string(message)}}, line);
  std::lock_guard<std::mutex> lock(stdout_mutex());
  return write_all(STDOUT_FILENO, line);
}

void detail::exit_under_frame_lock(int status, std::string_view line) noexcept {
  stdout_mutex().lock();
  // Between this line and _exit the lock is never released, so no data or exit frame of another
  // thread can follow it.
  if (!line.empty()) (void)write_all(STDOUT_FILENO, line);
  ::_exit(status);
}

}  // namespace qlp
