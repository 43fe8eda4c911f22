// The benchmark under real parents: nothing pinned, and a parent that is either light or works
// for its bytes (see parent_work.h). Three relays take turns in one run: the bridge, the relay of
// its design on Python's standard library, and the raw baseline; the echoes add a fourth
// participant, one thread holding the terminal itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "accounting.h"
#include "base/error.h"
#include "parent_work.h"
#include "relay_process.h"

namespace qlp::bench {

/// The order of the participants in every result and table below.
enum Participant { kBridge, kPython, kRaw, kDirect, kParticipants };
constexpr int kRelays = 3;  ///< The first three participants; the direct loop only echoes.

struct FloodAccount {
  double seconds = 0;  ///< This relay's turns only, spawn frame to exit frame and last byte.
  double mib_per_second = 0;
  TaskSample relay;    ///< All its threads, read at the end of each turn (see ProcessTracker).
  TaskSample reader;   ///< The benchmark's thread during this relay's turns.
  TaskSample program;  ///< The program in the terminal, up to its last reading.
  TaskSample kernel;   ///< The kernel's threads during this relay's turns.
  std::uint64_t frames = 0;
  std::vector<std::uint16_t> frame_sizes;  ///< Decoded bytes of each data frame.
};

/// One flood through each relay, read in turns of `turn_bytes` (as in flood.h) by a parent of
/// `parent` kind, participant `first` taking the first turn. Every byte is checked against
/// `expected`.
Result<std::vector<FloodAccount>> run_parent_flood(const RelayPrograms& programs,
                                                   const std::string& path,
                                                   std::span<const unsigned char> expected,
                                                   std::size_t turn_bytes, ParentKind parent,
                                                   int first);

/// Round trips in microseconds for each participant, taking turns byte by byte from `first` on.
Result<std::vector<std::vector<double>>> run_parent_echo(const RelayPrograms& programs,
                                                         int round_trips, ParentKind parent,
                                                         int first);

/// The figures of one mode, gathered round by round, and their table.
class ParentTable {
 public:
  explicit ParentTable(ParentKind parent) : parent_(parent) {}

  void add_flood(const std::vector<FloodAccount>& accounts);
  void add_echo(const std::vector<std::vector<double>>& micros);
  /// A Markdown table; `all_met` tells whether the targets held.
  std::string render(bool* all_met) const;

 private:
  enum class Target { none, python_ratio_at_least_1, direct_ratio_at_most_2 };
  struct Row {
    std::string name;
    std::string unit;
    Target target = Target::none;
    std::vector<double> values[kParticipants];
  };
  Row& row(const std::string& name, const std::string& unit, Target target = Target::none);

  ParentKind parent_;
  std::vector<Row> rows_;
};

}  // namespace qlp::bench
