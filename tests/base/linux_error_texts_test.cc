#include "base/linux_error_texts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/errno_table.h"

namespace qlp {
namespace {

// The committed table against the glibc the tests run on: a row typed wrong,
// or a text glibc has since changed, shows here. The release build on musl
// shows the same table, checked end to end there.
TEST(LinuxErrorTextsTest, EveryNumberReadsAsGlibcSaysIt) {
#ifndef __GLIBC__
  GTEST_SKIP() << "the texts are glibc's, and this C library is another";
#else
  for (int number = -2; number < 300; ++number) {
    EXPECT_EQ(strerror_text(number), std::string(std::strerror(number))) << number;
  }
  EXPECT_EQ(linux_error_text(41), nullptr);
  EXPECT_EQ(strerror_text(41), "Unknown error 41");
#endif
}

}  // namespace
}  // namespace qlp
