#include "command/c_string_array.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qlp {
namespace {

TEST(CStringArrayTest, PointsAtOwnedCopiesAndEndsWithNull) {
  std::vector<std::string> strings = {"sh", "", "a long argument that is not stored inline"};
  CStringArray array(strings);
  strings.assign(3, "changed");
  ASSERT_EQ(array.size(), 3u);
  EXPECT_STREQ(array.get()[0], "sh");
  EXPECT_STREQ(array.get()[1], "");
  EXPECT_STREQ(array.get()[2], "a long argument that is not stored inline");
  EXPECT_EQ(array.get()[3], nullptr);

  CStringArray empty({});
  EXPECT_EQ(empty.get()[0], nullptr);
}

}  // namespace
}  // namespace qlp
