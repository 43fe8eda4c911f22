// The descriptor sweep of a new process, before it executes its program.
#pragma once

#include <cstdint>

namespace qlp {

// N.B.: these run after fork, in the new process, before exec.

/// Closes every descriptor above 2 except `keep_fd` (-1 keeps none), going by
/// the listing of "/dev/fd".
void close_random_fds(int keep_fd) noexcept;

/// close_random_fds over the listing of `directory`. When the directory cannot
/// be listed, closes every descriptor above 2 but `keep_fd` blindly
/// (close_range where the platform has it, else one by one up to the limit).
void close_fds_listed_in(const char* directory, int keep_fd) noexcept;

/// A descriptor number from a directory entry name: decimal with an optional sign, within a
/// signed 32-bit integer. Anything else (".", "..", a sign alone, a non-ASCII name) is no
/// descriptor: false, and `fd` untouched.
bool parse_descriptor_name(const char* name, int* fd) noexcept;

/// How far a one-by-one sweep looks for the descriptor limit `soft_limit`: the limit itself,
/// bounded so that an unlimited or huge one (where the platform allows it) still gives a
/// finite loop.
int descriptor_sweep_bound(std::uint64_t soft_limit) noexcept;

}  // namespace qlp
