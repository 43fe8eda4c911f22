// The frames a parent writes to the bridge and reads from it.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "bridge_client/frames.h"

namespace qlp::client {
namespace {

TEST(BridgeClientFrames, WritesInputFrames) {
  EXPECT_EQ(input_frame_line("Hi"), R"({"type":"input","data":"SGk="})");
  EXPECT_EQ(input_frame_line(std::string("\x03", 1)), R"({"type":"input","data":"Aw=="})");
  EXPECT_EQ(resize_frame_line({24, 80}), R"({"type":"resize","rows":24,"cols":80})");
  EXPECT_EQ(kill_frame_line(), R"({"type":"kill"})");
}

TEST(BridgeClientFrames, ReadsOutputFrames) {
  auto ready = parse_bridge_frame(R"({"type":"ready"})");
  ASSERT_TRUE(ready);
  EXPECT_EQ(ready->type, BridgeFrame::Type::kReady);

  auto data = parse_bridge_frame(R"({"type":"data","data":"SGk="})");
  ASSERT_TRUE(data);
  EXPECT_EQ(data->type, BridgeFrame::Type::kData);
  EXPECT_EQ(data->bytes, "Hi");

  auto exit = parse_bridge_frame(R"({"type":"exit","code":4294967295})");
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->type, BridgeFrame::Type::kExit);
  EXPECT_EQ(exit->code, 4294967295u);

  // Beside the bridge's exact bytes, any JSON form of a frame reads the same; the last of
  // repeated members counts.
  auto moved = parse_bridge_frame(R"({ "data" : "SGk\/" , "type":"data"})");
  ASSERT_TRUE(moved) << moved.error().message();
  EXPECT_EQ(moved->bytes, "Hi?");
  auto repeated = parse_bridge_frame(R"({"type":"data","type":"exit","code":7})");
  ASSERT_TRUE(repeated);
  EXPECT_EQ(repeated->type, BridgeFrame::Type::kExit);
  EXPECT_EQ(repeated->code, 7u);

  auto error = parse_bridge_frame(R"({"message":"failed to spawn shell \"x\"\n","type":"error"})");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->type, BridgeFrame::Type::kError);
  EXPECT_EQ(error->message, "failed to spawn shell \"x\"\n");
}

TEST(BridgeClientFrames, RejectsUnreadableOutputFrames) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"not json", "expected ident at line 1 column 2"},
      {R"(["ready"])", "a frame must be a JSON object"},
      {R"({"type":1})", "member `type` is missing or not a string"},
      {R"({"type":"bogus"})", "unknown frame type `bogus`"},
      {R"({"type":"data"})", "member `data` is missing or not a string"},
      {R"({"type":"data","data":"QQ="})", "Invalid padding"},
      {R"({"data":"QQ=","type":"data"})", "Invalid padding"},
      {R"({"type":"exit"})", "member `code` is missing"},
      {R"({"type":"exit","code":"0"})",
       "member `code` must be an unsigned 32-bit integer, not string \"0\""},
      {R"({"type":"exit","code":-1})",
       "member `code` must be an unsigned 32-bit integer, not integer `-1`"},
      {R"({"type":"exit","code":4294967296})",
       "member `code` must be an unsigned 32-bit integer, not integer `4294967296`"},
      {R"({"type":"error","message":null})", "member `message` is missing or not a string"},
  };
  for (const auto& [line, message] : cases) {
    auto frame = parse_bridge_frame(line);
    ASSERT_FALSE(frame) << line;
    EXPECT_EQ(frame.error().message(), message) << line;
  }
}

}  // namespace
}  // namespace qlp::client
