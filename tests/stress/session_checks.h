// Checks shared by the race, soak and hostile-input tests: what every session
// seen from the parent's side must satisfy, and the stress child's output.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "helpers/flood_pattern.h"
#include "support/bridge_process.h"

namespace qlp::test {

/// The helper program that floods, echoes, exits early or ignores the hang-up.
inline std::string stress_child() { return std::string(QLP_TEST_HELPER_DIR) + "/stress_child"; }

/// A positive whole number from the environment, or `fallback`.
inline long env_count(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  long value = std::strtol(text, nullptr, 10);
  return value > 0 ? value : fallback;
}

/// The stress child's first output, "pid N\n": the pid and the length of that line.
struct Announcement {
  pid_t pid = 0;
  std::size_t length = 0;
};

inline std::optional<Announcement> announcement(const std::string& data) {
  const std::string head = "pid ";
  std::size_t newline = data.find('\n');
  if (data.compare(0, head.size(), head) != 0 || newline == std::string::npos) return std::nullopt;
  std::string digits = data.substr(head.size(), newline - head.size());
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return Announcement{static_cast<pid_t>(std::stol(digits)), newline + 1};
}

/// Whether the data so far holds the whole announcement line.
inline bool announced(const std::vector<ParsedFrame>&, const std::string& data) {
  return data.find('\n') != std::string::npos;
}

/// "" when `bytes` are the first bytes of the flood pattern (all `expected`
/// of them when given); else where they differ.
inline std::string flood_faults(const std::string& bytes,
                                std::optional<std::uint64_t> expected = {}) {
  std::string pattern(bytes.size(), '\0');
  flood_fill(0, reinterpret_cast<unsigned char*>(pattern.data()), pattern.size());
  if (bytes != pattern) {
    std::size_t at = 0;
    while (bytes[at] == pattern[at]) ++at;
    return "flood byte " + std::to_string(at) + " of " + std::to_string(bytes.size()) + " differs";
  }
  if (expected && bytes.size() != *expected) {
    return "flood: " + std::to_string(bytes.size()) + " of " + std::to_string(*expected) +
           " bytes arrived";
  }
  return "";
}

/// "" when the frames keep the guaranteed order: every line a whole frame,
/// exactly one ready frame, and either (orderly) exactly one exit frame and
/// no error frame, or (`fatal`) exactly one error frame and at most one exit
/// frame; an exit frame always after the ready frame.
inline std::string order_faults(const std::vector<ParsedFrame>& frames, bool fatal = false) {
  int ready = 0, exits = 0, errors = 0;
  for (const ParsedFrame& frame : frames) {
    if (frame.type.empty()) return "not a whole frame: " + frame.line.substr(0, 200);
    if (frame.type == "ready") ++ready;
    if (frame.type == "error") ++errors;
    if (frame.type == "exit") {
      if (ready == 0) return "exit frame before the ready frame";
      ++exits;
    }
  }
  if (ready != 1) return std::to_string(ready) + " ready frames";
  if (fatal) {
    if (errors != 1) return std::to_string(errors) + " error frames where one was due";
    if (exits > 1) return std::to_string(exits) + " exit frames";
  } else {
    if (errors != 0) return "unexpected error frame";
    if (exits != 1) return std::to_string(exits) + " exit frames";
  }
  return "";
}

/// The one exit frame's code, if there is one.
inline std::optional<std::uint32_t> exit_code(const std::vector<ParsedFrame>& frames) {
  for (const ParsedFrame& frame : frames) {
    if (frame.type == "exit") return frame.code;
  }
  return std::nullopt;
}

/// The first error frame's message, or "" when there is none.
inline std::string error_message(const std::vector<ParsedFrame>& frames) {
  for (const ParsedFrame& frame : frames) {
    if (frame.type == "error") return frame.message;
  }
  return "";
}

inline std::string joined_data(const std::vector<ParsedFrame>& frames) {
  std::string out;
  for (const ParsedFrame& frame : frames) {
    if (frame.type == "data") out += frame.data;
  }
  return out;
}

}  // namespace qlp::test
