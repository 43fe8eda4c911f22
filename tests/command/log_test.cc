#include "command/log.h"

#include <gtest/gtest.h>

#include <string>

namespace qlp {
namespace {

TEST(LogTest, WarningsAreNeverEvenFormattedAtLevelOff) {
  EXPECT_EQ(kMaxLogLevel, LogLevel::kOff);
  EXPECT_FALSE(log_enabled(LogLevel::kWarn));
  EXPECT_FALSE(log_enabled(LogLevel::kOff));
  int formatted = 0;
  log_warn([&] {
    ++formatted;
    return std::string("text");
  });
  EXPECT_EQ(formatted, 0);
}

}  // namespace
}  // namespace qlp
