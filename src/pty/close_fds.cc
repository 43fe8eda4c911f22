#include "pty/close_fds.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>

namespace qlp {
namespace {

// N.B.: everything in this file is called after fork.

/// One more than the highest descriptor the process can hold, as far as a loop has to look.
int descriptor_bound() {
  struct rlimit limit = {};
  return descriptor_sweep_bound(::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur
                                                                        : RLIM_INFINITY);
}

/// Closes `first` and every descriptor above it up to `last`, or without end
/// when `last` is -1. close_range does it in one call where the kernel has it;
/// otherwise, or when it fails (an older kernel answers ENOSYS), one by one up
/// to the descriptor limit.
void close_from(int first, int last) {
  if (last != -1 && first > last) return;
#ifdef SYS_close_range
  unsigned upper = last == -1 ? ~0U : static_cast<unsigned>(last);
  if (::syscall(SYS_close_range, static_cast<unsigned>(first), upper, 0) == 0) return;
#endif
  int end = descriptor_bound() - 1;
  if (last != -1 && last < end) end = last;
  for (int fd = first; fd <= end; ++fd) ::close(fd);
}

void close_all_above_stderr(int keep_fd) {
  if (keep_fd > 2) {
    close_from(3, keep_fd - 1);
    if (keep_fd < INT_MAX) close_from(keep_fd + 1, -1);
  } else {
    close_from(3, -1);
  }
}

}  // namespace

bool parse_descriptor_name(const char* name, int* fd) noexcept {
  bool negative = false;
  if (*name == '+' || *name == '-') negative = *name++ == '-';
  if (*name == '\0') return false;
  std::int64_t value = 0;
  for (; *name != '\0'; ++name) {
    if (*name < '0' || *name > '9') return false;
    value = value * 10 + (*name - '0');
    // One past INT_MAX is still needed: it is INT_MIN's magnitude.
    if (value > std::int64_t{INT_MAX} + 1) return false;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return false;
  *fd = static_cast<int>(value);
  return true;
}

int descriptor_sweep_bound(std::uint64_t soft_limit) noexcept {
  constexpr std::uint64_t kLargestBound = std::uint64_t{1} << 20;
  if (soft_limit != RLIM_INFINITY && soft_limit < kLargestBound) {
    return static_cast<int>(soft_limit);
  }
  return static_cast<int>(kLargestBound);
}

void close_random_fds(int keep_fd) noexcept { close_fds_listed_in("/dev/fd", keep_fd); }

void close_fds_listed_in(const char* directory, int keep_fd) noexcept {
  // Listing a directory allocates and is not async-signal-safe. That is
  // tolerable here only because the process that forked had a single thread
  // (the session starts its program before it starts any thread), so no lock
  // of the allocator can be held by a thread that no longer exists.
  //
  // Numbers are collected in a fixed batch and closed after the listing ends,
  // so that closing never disturbs the listing; a batch that fills up starts
  // another round, which finds only what is still open.
  constexpr std::size_t kBatch = 128;
  for (;;) {
    DIR* dir = ::opendir(directory);
    if (dir == nullptr) {
      close_all_above_stderr(keep_fd);
      return;
    }
    int own = ::dirfd(dir);
    int found[kBatch];
    std::size_t count = 0;
    bool more = false;
    while (const struct dirent* entry = ::readdir(dir)) {
      int fd = -1;
      if (!parse_descriptor_name(entry->d_name, &fd) || fd <= 2 || fd == keep_fd || fd == own) continue;
      if (count == kBatch) {
        more = true;
        break;
      }
      found[count++] = fd;
    }
    ::closedir(dir);
    for (std::size_t i = 0; i < count; ++i) ::close(found[i]);
    if (!more) return;
  }
}

}  // namespace qlp
