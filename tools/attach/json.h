// The little JSON the attach tool needs: reading one output frame, writing strings.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace qlp::attach {

struct JsonMember;

/// One parsed JSON value (RFC 8259). Numbers keep their text, so a caller can read an
/// exit code as an exact integer instead of through a double.
struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };

  Kind kind = Kind::kNull;
  bool boolean = false;
  /// The text of a number as written, or the decoded UTF-8 of a string.
  std::string text;
  std::vector<JsonValue> items;
  /// Members in the order written; duplicates are kept.
  std::vector<JsonMember> members;

  /// The last member named `key` of an object, or nullptr.
  const JsonValue* find(std::string_view key) const;
};

struct JsonMember {
  std::string key;
  JsonValue value;
};

/// Parses one JSON text; white space around it is allowed, anything else after it is not.
/// Nesting deeper than 128 levels is refused rather than risking the stack.
Result<JsonValue> parse_json(std::string_view text);

/// Appends `utf8` as a JSON string: quotes, backslash escapes for '"', '\\' and control
/// characters, every other byte unchanged.
void append_json_string(std::string& out, std::string_view utf8);

/// Whether `bytes` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

}  // namespace qlp::attach
