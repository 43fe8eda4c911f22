#include "frames/features.h"

namespace qlp {
namespace {

struct Named {
  std::string_view name;
  Feature feature;
};

// Also the order in which the ready frame lists them, whatever order the parent asked in.
constexpr Named kFeatures[] = {
    {"pid", Feature::kPid},
    {"process", Feature::kProcess},
    {"signal", Feature::kSignal},
    {"errors", Feature::kErrors},
};

}  // namespace

Features Features::accept(const std::vector<std::string>& names) {
  Features features;
  features.asked_ = true;
  for (const std::string& name : names) {
    for (const Named& known : kFeatures) {
      if (known.name == name) features.bits_ |= static_cast<std::uint8_t>(known.feature);
    }
  }
  return features;
}

std::vector<std::string_view> Features::names() const {
  std::vector<std::string_view> out;
  for (const Named& known : kFeatures) {
    if (has(known.feature)) out.push_back(known.name);
  }
  return out;
}

}  // namespace qlp
