// The JSON reader against an outside corpus of accepted, rejected and
// implementation-defined texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "frames/input_frame.h"
#include "frames/json_reader.h"
#include "support/exact_bytes.h"
#include "support/test_support.h"
#include "support/utf8_oracle.h"

namespace qlp {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const fs::path kCorpusDir =
    fs::path(QLP_SOURCE_DIR) / ".." / "shared" / "jsontestsuite" / "test_parsing";

struct CorpusFile {
  std::string name;
  std::string text;
};

// Files whose names start with `prefix`, sorted. The folder must exist.
std::vector<CorpusFile> corpus(const std::string& prefix) {
  std::vector<CorpusFile> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(kCorpusDir)) {
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

// Skips only when the folder is absent; a folder that is there but holds none
// of the files is a broken checkout and fails.
#define LOAD_CORPUS_OR_SKIP(files, prefix)                                             \
  if (!fs::is_directory(kCorpusDir))                                                   \
    GTEST_SKIP() << "no corpus at " << kCorpusDir.string()                             \
                 << " (the shared folder is expected beside the clone, as ../shared)"; \
  const std::vector<CorpusFile> files = corpus(prefix);                                \
  ASSERT_FALSE(files.empty()) << "no " prefix "*.json files in " << kCorpusDir.string()

// As an ignored member of a kill frame, the text meets the frame decoder's
// reader on the same terms.
std::string inside_kill_frame(const std::string& text) {
  return "{\"type\":\"kill\",\"x\":" + text + "}";
}

/// What the generic reader and the frame decoder make of one text.
struct Decision {
  Result<JsonValue> json;
  Result<InputFrame> frame;
};

Decision decide(const CorpusFile& file) {
  return {parse_json(test::ExactBytes(file.text)),
          parse_input_frame(test::ExactBytes(inside_kill_frame(file.text)))};
}

// Decides every file on a worker thread and waits for each against a
// deadline, so that a text the reader never finishes fails here, by name,
// rather than stalling the run until the CTest timeout. A crash ends the test
// process, which CTest reports as this test failing.
std::vector<Decision> decide_all(const std::vector<CorpusFile>& files) {
  struct Progress {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Decision> decisions;  // Guarded by mutex.
  };
  auto progress = std::make_shared<Progress>();
  // The worker owns its copy: a hung worker is left behind when the test ends.
  auto texts = std::make_shared<const std::vector<CorpusFile>>(files);
  std::thread worker([progress, texts] {
    for (const CorpusFile& file : *texts) {
      Decision decision = decide(file);
      std::lock_guard<std::mutex> lock(progress->mutex);
      progress->decisions.push_back(std::move(decision));
      progress->changed.notify_all();
    }
  });
  const std::chrono::milliseconds limit = test::scaled(10s);
  std::unique_lock<std::mutex> lock(progress->mutex);
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!progress->changed.wait_for(lock, limit, [&] { return progress->decisions.size() > i; })) {
      ADD_FAILURE() << files[i].name << ": no answer within " << limit.count()
                    << " ms (the reader hangs on it)";
      lock.unlock();
      worker.detach();
      return {};
    }
  }
  lock.unlock();
  worker.join();
  return std::move(progress->decisions);
}

// Every failure is a syntax fault of stage 1, so it carries a position, and
// its message reaches the parent inside a JSON frame, so it is UTF-8.
void expect_positioned_message(const Error& error, const std::string& name) {
  static const std::regex kPositioned(".+ at line [0-9]+ column [0-9]+");
  EXPECT_TRUE(std::regex_match(error.message(), kPositioned)) << name << ": " << error.message();
  EXPECT_TRUE(qlp::test::is_well_formed_utf8(error.message())) << name;
}

// Texts come out of the reader as UTF-8, whatever escapes spelt them.
bool all_strings_are_utf8(const JsonValue& value) {
  if (const auto* text = std::get_if<std::string>(&value.data)) return qlp::test::is_well_formed_utf8(*text);
  if (const auto* array = std::get_if<JsonValue::Array>(&value.data)) {
    return std::all_of(array->begin(), array->end(), all_strings_are_utf8);
  }
  if (const auto* object = std::get_if<JsonValue::Object>(&value.data)) {
    return std::all_of(object->begin(), object->end(), [](const JsonMember& member) {
      return qlp::test::is_well_formed_utf8(member.key) && all_strings_are_utf8(member.value);
    });
  }
  return true;
}

TEST(JsonCorpus, AcceptsEveryTextThatMustBeAccepted) {
  LOAD_CORPUS_OR_SKIP(files, "y_");
  const std::vector<Decision> decisions = decide_all(files);
  ASSERT_EQ(decisions.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string& name = files[i].name;
    const Decision& decision = decisions[i];
    ASSERT_TRUE(decision.json.has_value()) << name << ": " << decision.json.error().message();
    EXPECT_TRUE(all_strings_are_utf8(*decision.json)) << name;
    EXPECT_TRUE(decision.frame.has_value()) << name << ": " << decision.frame.error().message();
  }
}

TEST(JsonCorpus, RejectsEveryTextThatMustBeRejected) {
  LOAD_CORPUS_OR_SKIP(files, "n_");
  const std::vector<Decision> decisions = decide_all(files);
  ASSERT_EQ(decisions.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string& name = files[i].name;
    const Decision& decision = decisions[i];
    ASSERT_FALSE(decision.json.has_value()) << name;
    expect_positioned_message(decision.json.error(), name);
    ASSERT_FALSE(decision.frame.has_value()) << name;
    expect_positioned_message(decision.frame.error(), name);
  }
}

// Either answer is allowed; the reader must give one without crashing or
// hanging, give the same one through the frame decoder, and never let bytes
// that are not UTF-8 through.
TEST(JsonCorpus, DecidesEveryImplementationDefinedText) {
  LOAD_CORPUS_OR_SKIP(files, "i_");
  const std::vector<Decision> decisions = decide_all(files);
  ASSERT_EQ(decisions.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string& name = files[i].name;
    const Decision& decision = decisions[i];
    std::cout << "[ decided  ] " << name << ": "
              << (decision.json ? "accepted" : decision.json.error().message()) << "\n";
    EXPECT_EQ(decision.frame.has_value(), decision.json.has_value()) << name;
    if (decision.json) {
      EXPECT_TRUE(qlp::test::is_well_formed_utf8(files[i].text)) << name;
      EXPECT_TRUE(all_strings_are_utf8(*decision.json)) << name;
    } else {
      expect_positioned_message(decision.json.error(), name);
      expect_positioned_message(decision.frame.error(), name);
    }
  }
}

}  // namespace
}  // namespace qlp
