// The JSON reader against an outside corpus of accepted, rejected and
// implementation-defined texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "frames/input_frame.h"
#include "frames/json_reader.h"

namespace qlp {
namespace {

namespace fs = std::filesystem;

struct CorpusFile {
  std::string name;
  std::string text;
};

// Files whose names start with `prefix`, sorted, or empty when the corpus is absent.
std::vector<CorpusFile> corpus(const std::string& prefix) {
  const fs::path dir =
      fs::path(QLP_SOURCE_DIR) / ".." / "shared" / "jsontestsuite" / "test_parsing";
  std::vector<CorpusFile> files;
  if (!fs::is_directory(dir)) return files;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(prefix)) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    files.push_back({name, bytes.str()});
  }
  std::sort(files.begin(), files.end(),
            [](const CorpusFile& a, const CorpusFile& b) { return a.name < b.name; });
  return files;
}

#define SKIP_WITHOUT_CORPUS(files)                              \
  if ((files).empty())                                          \
  GTEST_SKIP() << "no corpus at " QLP_SOURCE_DIR                \
                  "/../shared/jsontestsuite/test_parsing (the " \
                  "shared folder is expected beside the clone)"

// As an ignored member of a kill frame, the text meets the frame decoder's
// reader on the same terms.
std::string inside_kill_frame(const std::string& text) {
  return "{\"type\":\"kill\",\"x\":" + text + "}";
}

TEST(JsonCorpus, AcceptsEveryTextThatMustBeAccepted) {
  const std::vector<CorpusFile> files = corpus("y_");
  SKIP_WITHOUT_CORPUS(files);
  for (const CorpusFile& file : files) {
    Result<JsonValue> value = parse_json(file.text);
    EXPECT_TRUE(value.has_value()) << file.name << ": " << value.error().message();
    Result<InputFrame> frame = parse_input_frame(inside_kill_frame(file.text));
    EXPECT_TRUE(frame.has_value()) << file.name << ": " << frame.error().message();
  }
}

TEST(JsonCorpus, RejectsEveryTextThatMustBeRejected) {
  const std::vector<CorpusFile> files = corpus("n_");
  SKIP_WITHOUT_CORPUS(files);
  for (const CorpusFile& file : files) {
    EXPECT_FALSE(parse_json(file.text).has_value()) << file.name;
    EXPECT_FALSE(parse_input_frame(inside_kill_frame(file.text)).has_value()) << file.name;
  }
}

// Either answer is allowed; the reader must give one without crashing or
// hanging, and give the same one through the frame decoder.
TEST(JsonCorpus, DecidesEveryImplementationDefinedText) {
  const std::vector<CorpusFile> files = corpus("i_");
  SKIP_WITHOUT_CORPUS(files);
  for (const CorpusFile& file : files) {
    Result<JsonValue> value = parse_json(file.text);
    std::cout << "[ decided  ] " << file.name << ": "
              << (value.has_value() ? "accepted" : value.error().message()) << "\n";
    EXPECT_EQ(parse_input_frame(inside_kill_frame(file.text)).has_value(), value.has_value())
        << file.name;
  }
}

}  // namespace
}  // namespace qlp
