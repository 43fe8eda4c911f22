// Figures gathered round by round, and the table that compares the bridge with the baseline.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common.h"

namespace qlp::bench {

/// A limit a figure must keep.
struct Target {
  enum class Kind { none, ratio_at_most, ratio_at_least, bridge_at_most };
  Kind kind = Kind::none;
  double limit = 0;

  std::string describe() const;
  /// Whether `bridge` (the bridge's figure) and `ratio` (the median paired ratio) keep it.
  bool met(double bridge, std::optional<double> ratio) const;
};

/// One figure: its values in every round, for the bridge and (when there is one) the baseline.
struct Metric {
  Metric(std::string name_, std::string unit_, Target target_ = {})
      : name(std::move(name_)), unit(std::move(unit_)), target(target_) {}

  std::string name;
  std::string unit;
  Target target;
  std::vector<double> bridge;
  std::vector<double> baseline;  ///< Empty for figures of the bridge alone.

  /// Median over rounds of bridge[i] / baseline[i]; nothing without a baseline or with a zero.
  std::optional<double> paired_ratio() const;
};

/// A Markdown table: figure, bridge and baseline (medians over rounds), median paired ratio,
/// target and whether it is met. Returns the table; `all_met` tells whether every target held.
std::string render_table(const std::vector<Metric>& metrics, bool* all_met);

}  // namespace qlp::bench
