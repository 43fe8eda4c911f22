#include "report.h"

namespace qlp::bench {

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
  return qlp::bench::paired_ratio(bridge, baseline);
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
