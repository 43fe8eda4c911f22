// Output frames written with arbitrary contents and read back with the project's own JSON reader.
//
// A message must be UTF-8 text to survive the trip (the reader refuses anything else, as a parent
// would), so the input bytes are made into text the way the bridge makes text of bytes it does
// not control: unchanged when they are valid UTF-8, else with each invalid sequence replaced by
// U+FFFD. Every control byte, quote, backslash and multi-byte character thus reaches the writer.
//
// Checked for an error frame with that text as its message:
// - the line is exactly the one the escaping rules give: compact, "type" first, control bytes as
//   \b \t \n \f \r or \u00xx, quote and backslash escaped, everything else raw, one line feed;
// - reading the line back gives an object of two members, "type" "error" and the message, equal
//   to the text.
// For a data frame carrying the Base64 of the raw input bytes: the line is the Base64 text in
// place, and reading it back and decoding the Base64 gives the input bytes. For an exit frame
// whose code comes from the first four bytes: the code reads back as the same unsigned number.
// Lines and Base64 texts are read back from buffers of exactly their length, where a read past
// their end is caught.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "text/utf8.h"
#include "frames/base64.h"
#include "frames/json_reader.h"
#include "frames/output_frame.h"
#include "support/exact_bytes.h"
#include "support/utf8_oracle.h"

namespace {

// The JSON string of `text` as the escaping table gives it, byte by byte.
std::string expected_json_string(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case 0x08:
        out += "\\b";
        break;
      case 0x09:
        out += "\\t";
        break;
      case 0x0A:
        out += "\\n";
        break;
      case 0x0C:
        out += "\\f";
        break;
      case 0x0D:
        out += "\\r";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 15];
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

// The members of `line` (without its line feed) read as a JSON object, or abort.
qlp::JsonValue::Object read_object(std::string_view line) {
  qlp::Result<qlp::JsonValue> value = qlp::parse_json(qlp::test::ExactBytes(line));
  if (!value) std::abort();
  auto* object = std::get_if<qlp::JsonValue::Object>(&value->data);
  if (object == nullptr) std::abort();
  return std::move(*object);
}

const std::string& string_member(const qlp::JsonMember& member, std::string_view key) {
  if (member.key != key) std::abort();
  const auto* text = std::get_if<std::string>(&member.value.data);
  if (text == nullptr) std::abort();
  return *text;
}

// `line` less its final line feed; aborts when it is not exactly one line.
std::string_view one_line(const std::string& line) {
  if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1) std::abort();
  return std::string_view(line).substr(0, line.size() - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const bool is_text = qlp::test::is_well_formed_utf8(bytes);
  const std::string text = is_text ? std::string(bytes) : qlp::to_utf8_lossy(bytes);
  if (!qlp::test::is_well_formed_utf8(text) || (is_text && qlp::to_utf8_lossy(bytes) != bytes)) std::abort();

  {
    const std::string line = qlp::frame_line({qlp::OutputFrame::Error{text}});
    if (line != R"({"type":"error","message":)" + expected_json_string(text) + "}\n") std::abort();
    const qlp::JsonValue::Object members = read_object(one_line(line));
    if (members.size() != 2 || string_member(members[0], "type") != "error" ||
        string_member(members[1], "message") != text) {
      std::abort();
    }
  }
  {
    const std::string base64 = qlp::base64_encode(bytes);
    const std::string line = qlp::frame_line({qlp::OutputFrame::Data{base64}});
    if (line != R"({"type":"data","data":")" + base64 + "\"}\n") std::abort();
    const qlp::JsonValue::Object members = read_object(one_line(line));
    if (members.size() != 2 || string_member(members[0], "type") != "data") std::abort();
    qlp::Result<std::string> decoded = qlp::base64_decode(qlp::test::ExactBytes(string_member(members[1], "data")));
    if (!decoded || *decoded != bytes) std::abort();
  }
  {
    std::uint32_t code = 0;
    for (std::size_t i = 0; i < 4 && i < size; ++i) code |= std::uint32_t{data[i]} << (8 * i);
    const std::string line = qlp::frame_line({qlp::OutputFrame::Exit{code}});
    const qlp::JsonValue::Object members = read_object(one_line(line));
    if (members.size() != 2 || string_member(members[0], "type") != "exit" ||
        members[1].key != "code") {
      std::abort();
    }
    const auto* number = std::get_if<std::uint64_t>(&members[1].value.data);
    if (number == nullptr || *number != code) std::abort();
  }
  return 0;
}
