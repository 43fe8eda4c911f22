#include "parent_work.h"

#include <array>
#include <string>
#include <variant>

#include "frames/base64.h"
#include "frames/json_reader.h"

namespace qlp::bench {
namespace {

// The states of a terminal's input parser, reduced to what costs the same: ground (print), escape,
// control sequence parameters, and string (OSC) collection.
enum State : std::uint8_t { kGround, kEscape, kCsi, kString, kStates };

constexpr std::array<std::array<std::uint8_t, 256>, kStates> make_transitions() {
  std::array<std::array<std::uint8_t, 256>, kStates> next{};
  for (int s = 0; s < kStates; ++s) {
    for (int b = 0; b < 256; ++b) {
      std::uint8_t to = kGround;
      if (s == kEscape) to = b == '[' ? kCsi : b == ']' ? kString : kGround;
      if (s == kCsi) to = (b >= 0x30 && b <= 0x3F) ? kCsi : kGround;
      if (s == kString) to = b == 0x07 ? kGround : kString;
      if (b == 0x1B) to = kEscape;
      next[s][b] = to;
    }
  }
  return next;
}
constexpr auto kNext = make_transitions();

const std::string* member_text(const JsonValue::Object& object, std::string_view key) {
  for (const JsonMember& member : object) {
    if (member.key == key) return std::get_if<std::string>(&member.value.data);
  }
  return nullptr;
}

}  // namespace

bool ParentWork::parse(const OutputLine& parsed) {
  if (kind_ == ParentKind::light) return true;
  Result<JsonValue> value = parse_json(parsed.text);
  if (!value) return false;
  const auto* object = std::get_if<JsonValue::Object>(&value->data);
  if (object == nullptr) return false;
  const std::string* type = member_text(*object, "type");
  if (type == nullptr) return false;
  if (parsed.type == OutputLine::Type::data) {
    const std::string* data = member_text(*object, "data");
    if (*type != "data" || data == nullptr) return false;
    Result<std::string> bytes = base64_decode(*data);
    return bytes && *bytes == parsed.bytes;
  }
  return true;
}

void ParentWork::consume(const unsigned char* bytes, std::size_t count) {
  if (kind_ == ParentKind::light) return;
  std::uint8_t state = state_;
  std::uint32_t cursor = cursor_;
  std::uint64_t sum = checksum_;
  constexpr std::uint32_t kCells = sizeof screen_ / sizeof screen_[0];
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t byte = bytes[i];
    if (state == kGround && byte >= 0x20) {
      // A printed character: a cell with its attributes, and the cursor moves on.
      screen_[cursor] = byte | 0x0700u;
      cursor = cursor + 1 == kCells ? 0 : cursor + 1;
    }
    state = kNext[state][byte];
    sum = (sum ^ byte) * 0x100000001B3u + state;
  }
  state_ = state;
  cursor_ = cursor;
  checksum_ = sum;
}

}  // namespace qlp::bench
