// A JSON reader (RFC 8259) that reports faults with exact byte positions.
//
// The input-frame decoder and the generic `parse_json` drive the same reader:
// the decoder walks the frame's outermost object or array itself (to treat the
// `type` member specially) and hands every other value to `read_value`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/error.h"

namespace qlp {

struct JsonMember;

/// One JSON value. A number keeps the class it was read as: an unsigned
/// integer (no fraction or exponent, non-negative, fits in 64 bits), a signed
/// integer (likewise but negative, never minus zero) or a double (everything
/// else, "-0" and integers past 64 bits included).
struct JsonValue {
  using Array = std::vector<JsonValue>;
  /// Members in the order read; a repeated key is kept every time it occurs.
  using Object = std::vector<JsonMember>;

  std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string, Array,
               Object>
      data;
};

struct JsonMember {
  std::string key;
  JsonValue value;
};

/// Reads one complete JSON text: any value, surrounded by nothing but JSON
/// white space. Strings must be valid UTF-8. Failures carry the reader's
/// messages with the suffix " at line L column C".
Result<JsonValue> parse_json(std::string_view text);

/// The description of a value in type errors: "null", "boolean `true`",
/// "integer `-5`", "floating point `24.0`", "string \"a\\tb\"", "sequence", "map".
std::string describe_json_value(const JsonValue& value);

/// The shortest text that reads back as `value`. Positional when the decimal
/// exponent is from -5 to 16, with ".0" kept on integral values ("24.0",
/// "0.00001"); otherwise one digit before the point and a signed exponent
/// ("1e+300", "1.5e-7").
std::string shortest_float_text(double value);

/// A cursor over one JSON text. Positions count bytes: the column of a fault
/// is the 1-based offset of the byte at fault within its line, or the line's
/// length when the text ends too early. Not shared between threads.
class JsonReader {
 public:
  /// Containers may nest this deep; the outermost one is level 1.
  static constexpr int kMaxDepth = 127;

  explicit JsonReader(std::string_view text) : text_(text) {}

  /// Skips white space (space, tab, line feed, carriage return) and returns
  /// the next byte without consuming it, or -1 at the end of the text.
  int peek();

  /// Reads the value that starts at the next byte after white space.
  Result<JsonValue> read_value();

  /// Reads a string; the next byte (after `peek`) must be the opening quote.
  Result<std::string> read_string();

  /// Reads the colon after an object key.
  Result<void> read_colon();

  /// Reads the object at the next byte ('{', after `peek`), calling
  /// `on_key(std::string&&) -> Result<void>` with each key. The handler must
  /// read the colon and the member's value, or fail.
  template <typename OnKey>
  Result<void> read_object(OnKey&& on_key);

  /// Reads the array at the next byte ('[', after `peek`), calling
  /// `on_element(std::size_t index) -> Result<void>` for each element, which
  /// it must read or fail.
  template <typename OnElement>
  Result<void> read_array(OnElement&& on_element);

  /// Succeeds when only white space is left.
  Result<void> finish();

  /// `message` positioned at the last byte consumed: the end of the item just
  /// read, or the byte before the next one.
  Error error_after_consumed(std::string_view message) const;

 private:
  /// `message` positioned after `count` bytes of the text.
  Error error_at(std::size_t count, std::string_view message) const;
  /// `message` positioned at the next byte, or at the end of the text.
  Error error_at_next(std::string_view message) const;

  /// Checks the nesting limit and consumes the opening bracket or brace.
  Result<void> open_container();
  /// Consumes what comes before the next member or element: nothing for the
  /// first, a comma otherwise. False when the container closed instead.
  Result<bool> before_item(bool first, char close);

  Result<JsonValue> read_number();
  Result<void> read_ident(std::string_view rest);
  Result<void> read_escape(std::string& out);
  Result<char16_t> read_hex4();
  Result<void> read_utf8(std::string& out);

  std::string_view text_;
  /// Bytes consumed so far.
  std::size_t pos_ = 0;
  /// Containers open at the cursor.
  int depth_ = 0;
};

template <typename OnKey>
Result<void> JsonReader::read_object(OnKey&& on_key) {
  if (Result<void> opened = open_container(); !opened) return opened;
  for (bool first = true;; first = false) {
    Result<bool> more = before_item(first, '}');
    if (!more) return std::move(more).error();
    if (!*more) return {};
    if (peek() != '"') return error_at_next("key must be a string");
    Result<std::string> key = read_string();
    if (!key) return std::move(key).error();
    if (Result<void> handled = on_key(std::move(*key)); !handled) return handled;
  }
}

template <typename OnElement>
Result<void> JsonReader::read_array(OnElement&& on_element) {
  if (Result<void> opened = open_container(); !opened) return opened;
  for (std::size_t index = 0;; ++index) {
    Result<bool> more = before_item(index == 0, ']');
    if (!more) return std::move(more).error();
    if (!*more) return {};
    if (Result<void> handled = on_element(index); !handled) return handled;
  }
}

}  // namespace qlp
