#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qlp::bench {
namespace {

std::string format(double value) {
  char text[32];
  const double magnitude = std::fabs(value);
  const char* form = magnitude == 0     ? "%.0f"
                     : magnitude >= 100 ? "%.0f"
                     : magnitude >= 10  ? "%.1f"
                                        : "%.2f";
  std::snprintf(text, sizeof text, form, value);
  return text;
}

}  // namespace

double quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  if (q <= 0) return values.front();
  // Nearest rank, except that the median of an even count is the mean of the middle two.
  if (q == 0.5 && values.size() % 2 == 0) {
    return (values[values.size() / 2 - 1] + values[values.size() / 2]) / 2;
  }
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
  return values[std::min(values.size(), std::max<std::size_t>(rank, 1)) - 1];
}

std::string Target::describe() const {
  switch (kind) {
    case Kind::ratio_at_most:
      return "ratio ≤ " + format(limit);
    case Kind::ratio_at_least:
      return "ratio ≥ " + format(limit);
    case Kind::bridge_at_most:
      return "bridge ≤ " + format(limit);
    case Kind::none:
      break;
  }
  return "";
}

bool Target::met(double bridge, std::optional<double> ratio) const {
  switch (kind) {
    case Kind::ratio_at_most:
      return ratio && *ratio <= limit;
    case Kind::ratio_at_least:
      return ratio && *ratio >= limit;
    case Kind::bridge_at_most:
      return bridge <= limit;
    case Kind::none:
      break;
  }
  return true;
}

std::optional<double> Metric::paired_ratio() const {
  if (baseline.empty() || baseline.size() != bridge.size()) return std::nullopt;
  std::vector<double> ratios;
  for (std::size_t i = 0; i < bridge.size(); ++i) {
    if (baseline[i] == 0) return std::nullopt;
    ratios.push_back(bridge[i] / baseline[i]);
  }
  return median(ratios);
}

std::string render_table(const std::vector<Metric>& metrics, bool* all_met) {
  std::string table =
      "| Figure | Bridge | Baseline | Ratio | Target | Met |\n"
      "|---|---:|---:|---:|---|---|\n";
  bool every = true;
  for (const Metric& metric : metrics) {
    if (metric.bridge.empty()) continue;  // a workload left out of this run
    const double bridge = median(metric.bridge);
    const std::optional<double> ratio = metric.paired_ratio();
    const bool met = metric.target.met(bridge, ratio);
    every = every && met;
    table += "| " + metric.name + " (" + metric.unit + ") | " + format(bridge) + " | " +
             (metric.baseline.empty() ? "" : format(median(metric.baseline))) + " | " +
             (ratio ? format(*ratio) : "") + " | " + metric.target.describe() + " | " +
             (metric.target.kind == Target::Kind::none ? ""
              : met                                    ? "yes"
                                                       : "**no**") +
             " |\n";
  }
  if (all_met) *all_met = every;
  return table;
}

}  // namespace qlp::bench
