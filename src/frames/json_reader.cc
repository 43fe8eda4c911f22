#include "frames/json_reader.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "text/unicode_tables.h"
#include "text/utf8.h"

namespace qlp {
namespace {

bool is_digit(int c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The index of the first byte at or after `i` that ends a plain run inside a
// string: a quote, a backslash, a control character or a byte of a multi-byte
// character. Looks at eight bytes per step, since input frames carry long
// Base64 runs that hold none of these.
std::size_t skip_plain(std::string_view text, std::size_t i) {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHigh = 0x8080808080808080;
  const char* data = text.data();
  if constexpr (std::endian::native == std::endian::little) {
    for (; text.size() - i >= 8; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, data + i, 8);
      const std::uint64_t quote = word ^ (kOnes * '"');
      const std::uint64_t backslash = word ^ (kOnes * '\\');
      // Each term sets the high bit of the bytes it matches; a borrow can only
      // mark bytes above a true match, so the lowest mark is always exact.
      const std::uint64_t marks = (((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
                                   ((word - kOnes * 0x20) & ~word) | word) &
                                  kHigh;
      if (marks != 0) return i + static_cast<std::size_t>(std::countr_zero(marks)) / 8;
    }
  }
  for (; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(data[i]);
    if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return i;
  }
  return i;
}

// Floating-point conversions, one implementation per kind of standard library:
// - parse_json_double reads a number literal with a fraction, an exponent or
//   more digits than 64 bits hold. It is empty when the magnitude is too large
//   for a double; a magnitude too small to represent reads as zero.
// - shortest_scientific writes "d[.ddd]e±XX", the shortest scientific form that
//   reads back as `magnitude` (finite and positive), NUL-terminated.
#if defined(__cpp_lib_to_chars)

// The decimal exponent of the first significant digit of a number literal
// whose digits are not all zero, saturated far beyond the range of a double.
std::int64_t leading_digit_exponent(std::string_view literal) {
  constexpr std::int64_t kSaturated = std::int64_t{1} << 40;
  std::size_t i = literal.front() == '-' ? 1 : 0;
  std::int64_t integer_digits = 0;
  std::int64_t index = 0;
  std::int64_t first_significant = -1;
  auto note = [&](char c) {
    if (first_significant < 0 && c != '0') first_significant = index;
    ++index;
  };
  for (; i < literal.size() && is_digit(literal[i]); ++i, ++integer_digits) note(literal[i]);
  if (i < literal.size() && literal[i] == '.') {
    for (++i; i < literal.size() && is_digit(literal[i]); ++i) note(literal[i]);
  }
  std::int64_t exponent = 0;
  if (i < literal.size()) {
    const bool negative = literal[++i] == '-';
    if (literal[i] == '-' || literal[i] == '+') ++i;
    for (; i < literal.size(); ++i)
      exponent = std::min(exponent * 10 + (literal[i] - '0'), kSaturated);
    if (negative) exponent = -exponent;
  }
  return integer_digits - 1 - first_significant + exponent;
}

std::optional<double> parse_json_double(std::string_view literal) {
  double value = 0;
  const char* end = literal.data() + literal.size();
  if (std::from_chars(literal.data(), end, value).ec == std::errc()) return value;
  // The range error covers both ends; a zero mantissa never raises it.
  if (leading_digit_exponent(literal) >= 0) return std::nullopt;
  return literal.front() == '-' ? -0.0 : 0.0;
}

void shortest_scientific(double magnitude, char (&buffer)[40]) {
  *std::to_chars(buffer, buffer + sizeof buffer - 1, magnitude, std::chars_format::scientific).ptr =
      '\0';
}

#else

// Standard libraries without floating-point <charconv> (libc++ before it
// gained it) fall back on the C functions. The bridge never calls setlocale,
// so the C locale's '.' is the decimal point they use.
std::optional<double> parse_json_double(std::string_view literal) {
  const std::string copy(literal);
  const double value = std::strtod(copy.c_str(), nullptr);
  if (std::isinf(value)) return std::nullopt;
  return value;
}

void shortest_scientific(double magnitude, char (&buffer)[40]) {
  // Seventeen significant digits always read back; stop at the first fewer that do.
  for (int precision = 0; precision <= 16; ++precision) {
    std::snprintf(buffer, sizeof buffer, "%.*e", precision, magnitude);
    if (std::strtod(buffer, nullptr) == magnitude) return;
  }
}

#endif

}  // namespace

int JsonReader::peek() {
  while (pos_ < text_.size()) {
    const char c = text_[pos_];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return static_cast<unsigned char>(c);
    ++pos_;
  }
  return -1;
}

Error JsonReader::error_at(std::size_t count, std::string_view message) const {
  const std::string_view before = text_.substr(0, count);
  const std::size_t newline = before.rfind('\n');
  const std::size_t line_start = newline == std::string_view::npos ? 0 : newline + 1;
  const std::size_t line =
      1 + static_cast<std::size_t>(std::count(before.begin(), before.begin() + line_start, '\n'));
  std::string text(message);
  text += " at line ";
  text += std::to_string(line);
  text += " column ";
  text += std::to_string(count - line_start);
  return Error(std::move(text));
}

Error JsonReader::error_after_consumed(std::string_view message) const {
  return error_at(pos_, message);
}

Error JsonReader::error_at_next(std::string_view message) const {
  return error_at(std::min(text_.size(), pos_ + 1), message);
}

Result<void> JsonReader::open_container() {
  if (depth_ == kMaxDepth) return error_at_next("recursion limit exceeded");
  ++depth_;
  ++pos_;
  return {};
}

Result<bool> JsonReader::before_item(bool first, char close) {
  const bool object = close == '}';
  int c = peek();
  if (c == -1)
    return error_at_next(object ? "EOF while parsing an object" : "EOF while parsing a list");
  if (c == close) {
    ++pos_;
    --depth_;
    return false;
  }
  if (!first) {
    if (c != ',') return error_at_next(object ? "expected `,` or `}`" : "expected `,` or `]`");
    ++pos_;
    c = peek();
    if (c == -1) return error_at_next("EOF while parsing a value");
    if (c == close) return error_at_next("trailing comma");
  }
  return true;
}

Result<void> JsonReader::read_colon() {
  const int c = peek();
  if (c == ':') {
    ++pos_;
    return {};
  }
  return error_at_next(c == -1 ? "EOF while parsing an object" : "expected `:`");
}

Result<void> JsonReader::finish() {
  if (peek() != -1) return error_at_next("trailing characters");
  return {};
}

Result<JsonValue> JsonReader::read_value() {
  const int c = peek();
  switch (c) {
    case -1:
      return error_at_next("EOF while parsing a value");
    case 'n':
      if (Result<void> ident = read_ident("null"); !ident) return std::move(ident).error();
      return JsonValue{nullptr};
    case 't':
      if (Result<void> ident = read_ident("true"); !ident) return std::move(ident).error();
      return JsonValue{true};
    case 'f':
      if (Result<void> ident = read_ident("false"); !ident) return std::move(ident).error();
      return JsonValue{false};
    case '"': {
      Result<std::string> text = read_string();
      if (!text) return std::move(text).error();
      return JsonValue{std::move(*text)};
    }
    case '[': {
      JsonValue::Array elements;
      Result<void> read = read_array([&](std::size_t) -> Result<void> {
        Result<JsonValue> element = read_value();
        if (!element) return std::move(element).error();
        elements.push_back(std::move(*element));
        return {};
      });
      if (!read) return std::move(read).error();
      return JsonValue{std::move(elements)};
    }
    case '{': {
      JsonValue::Object members;
      Result<void> read = read_object([&](std::string&& key) -> Result<void> {
        if (Result<void> colon = read_colon(); !colon) return colon;
        Result<JsonValue> value = read_value();
        if (!value) return std::move(value).error();
        members.push_back(JsonMember{std::move(key), std::move(*value)});
        return {};
      });
      if (!read) return std::move(read).error();
      return JsonValue{std::move(members)};
    }
    default:
      if (c == '-' || is_digit(c)) return read_number();
      return error_at_next("expected value");
  }
}

Result<void> JsonReader::read_ident(std::string_view word) {
  ++pos_;  // The first letter, already seen.
  for (std::size_t k = 1; k < word.size(); ++k) {
    if (pos_ == text_.size()) return error_at(pos_, "EOF while parsing a value");
    if (text_[pos_++] != word[k]) return error_at(pos_, "expected ident");
  }
  return {};
}

Result<JsonValue> JsonReader::read_number() {
  const std::size_t start = pos_;
  const std::size_t end = text_.size();
  const bool negative = text_[pos_] == '-';
  if (negative) ++pos_;
  auto skip_digits = [&] {
    while (pos_ < end && is_digit(text_[pos_])) ++pos_;
  };
  // A digit must follow a minus sign, a point or an exponent marker.
  auto need_digit = [&]() -> Result<void> {
    if (pos_ == end) return error_at(pos_, "EOF while parsing a value");
    if (!is_digit(text_[pos_])) return error_at(pos_ + 1, "invalid number");
    return {};
  };

  if (Result<void> digit = need_digit(); !digit) return std::move(digit).error();
  if (text_[pos_] == '0') {
    ++pos_;
    if (pos_ < end && is_digit(text_[pos_])) return error_at(pos_ + 1, "invalid number");
  } else {
    skip_digits();
  }
  bool integral = true;
  if (pos_ < end && text_[pos_] == '.') {
    integral = false;
    ++pos_;
    if (Result<void> digit = need_digit(); !digit) return std::move(digit).error();
    skip_digits();
  }
  if (pos_ < end && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    integral = false;
    ++pos_;
    if (pos_ < end && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    if (Result<void> digit = need_digit(); !digit) return std::move(digit).error();
    skip_digits();
  }

  const std::string_view literal = text_.substr(start, pos_ - start);
  if (integral) {
    std::uint64_t magnitude = 0;
    bool fits = true;
    for (char c : literal.substr(negative ? 1 : 0)) {
      fits = fits && !__builtin_mul_overflow(magnitude, 10, &magnitude) &&
             !__builtin_add_overflow(magnitude, static_cast<unsigned>(c - '0'), &magnitude);
    }
    if (fits && !negative) return JsonValue{magnitude};
    constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
    if (fits && magnitude != 0 && magnitude <= kMinMagnitude) {
      // Negate in unsigned arithmetic: the magnitude of INT64_MIN has no signed form.
      return JsonValue{static_cast<std::int64_t>(~magnitude + 1)};
    }
  }
  const std::optional<double> value = parse_json_double(literal);
  if (!value) return error_at(pos_, "number out of range");
  return JsonValue{*value};
}

Result<std::string> JsonReader::read_string() {
  ++pos_;  // The opening quote.
  std::string out;
  for (;;) {
    const std::size_t run_end = skip_plain(text_, pos_);
    out.append(text_.data() + pos_, run_end - pos_);
    pos_ = run_end;
    if (pos_ == text_.size()) return error_at(pos_, "EOF while parsing a string");
    const auto c = static_cast<unsigned char>(text_[pos_]);
    if (c == '"') {
      ++pos_;
      return out;
    }
    if (c == '\\') {
      ++pos_;
      if (Result<void> escape = read_escape(out); !escape) return std::move(escape).error();
    } else if (c < 0x20) {
      return error_at(pos_ + 1, "control character (\\u0000-\\u001F) found while parsing a string");
    } else if (Result<void> character = read_utf8(out); !character) {
      return std::move(character).error();
    }
  }
}

Result<void> JsonReader::read_escape(std::string& out) {
  if (pos_ == text_.size()) return error_at(pos_, "EOF while parsing a string");
  const char c = text_[pos_++];
  // Pairs of an escape letter and the byte it stands for.
  constexpr std::string_view kSimple = "\"\"\\\\//b\bf\fn\nr\rt\t";
  for (std::size_t k = 0; k < kSimple.size(); k += 2) {
    if (kSimple[k] == c) {
      out += kSimple[k + 1];
      return {};
    }
  }
  if (c != 'u') return error_at(pos_, "invalid escape");
  Result<char16_t> first = read_hex4();
  if (!first) return std::move(first).error();
  const char16_t lead = *first;
  if (lead >= 0xDC00 && lead <= 0xDFFF)
    return error_at(pos_, "lone leading surrogate in hex escape");
  if (lead < 0xD800 || lead > 0xDBFF) {
    append_utf8(out, lead);
    return {};
  }
  // A leading surrogate: the trailing one must follow as an escape at once.
  for (char expected : {'\\', 'u'}) {
    if (pos_ == text_.size()) return error_at(pos_, "EOF while parsing a string");
    if (text_[pos_++] != expected) return error_at(pos_, "unexpected end of hex escape");
  }
  Result<char16_t> second = read_hex4();
  if (!second) return std::move(second).error();
  const char16_t trail = *second;
  if (trail < 0xDC00 || trail > 0xDFFF)
    return error_at(pos_, "lone leading surrogate in hex escape");
  append_utf8(out, 0x10000 + ((char32_t{lead} - 0xD800) << 10) + (char32_t{trail} - 0xDC00));
  return {};
}

Result<char16_t> JsonReader::read_hex4() {
  // Fewer than four bytes left can only end inside the escape.
  if (text_.size() - pos_ < 4) return error_at(text_.size(), "EOF while parsing a string");
  char16_t value = 0;
  for (int k = 0; k < 4; ++k) {
    const int digit = hex_value(text_[pos_++]);
    if (digit < 0) return error_at(pos_, "invalid escape");
    value = static_cast<char16_t>((value << 4) | digit);
  }
  return value;
}

Result<void> JsonReader::read_utf8(std::string& out) {
  const std::size_t length = utf8_sequence_length(text_, pos_);
  if (length == 0) return error_at(pos_ + 1, "invalid unicode code point");
  out.append(text_.data() + pos_, length);
  pos_ += length;
  return {};
}

std::string shortest_float_text(double value) {
  if (std::isnan(value)) return "NaN";
  std::string out = std::signbit(value) ? "-" : "";
  const double magnitude = std::fabs(value);
  if (std::isinf(magnitude)) return out + "inf";
  if (magnitude == 0) return out + "0.0";

  char buffer[40];
  shortest_scientific(magnitude, buffer);
  const std::string_view scientific(buffer);
  const std::size_t marker = scientific.find('e');
  std::string digits(1, scientific[0]);
  if (marker > 1) digits.append(scientific.substr(2, marker - 2));
  const int exponent = std::atoi(buffer + marker + 1);

  if (exponent < -5 || exponent >= 17) {
    out += digits[0];
    if (digits.size() > 1) out.append(".").append(digits, 1);
    out += exponent < 0 ? "e-" : "e+";
    out += std::to_string(std::abs(exponent));
  } else if (exponent < 0) {
    out.append("0.").append(static_cast<std::size_t>(-exponent - 1), '0').append(digits);
  } else {
    const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= integer_digits) {
      out.append(digits).append(integer_digits - digits.size(), '0').append(".0");
    } else {
      out.append(digits, 0, integer_digits).append(".").append(digits, integer_digits);
    }
  }
  return out;
}

std::string describe_json_value(const JsonValue& value) {
  struct Describe {
    std::string operator()(std::nullptr_t) const { return "null"; }
    std::string operator()(bool b) const { return b ? "boolean `true`" : "boolean `false`"; }
    std::string operator()(std::uint64_t n) const { return "integer `" + std::to_string(n) + "`"; }
    std::string operator()(std::int64_t n) const { return "integer `" + std::to_string(n) + "`"; }
    std::string operator()(double d) const {
      return "floating point `" + shortest_float_text(d) + "`";
    }
    std::string operator()(const std::string& s) const { return "string " + quoted_form(s); }
    std::string operator()(const JsonValue::Array&) const { return "sequence"; }
    std::string operator()(const JsonValue::Object&) const { return "map"; }
  };
  return std::visit(Describe{}, value.data);
}

Result<JsonValue> parse_json(std::string_view text) {
  JsonReader reader(text);
  Result<JsonValue> value = reader.read_value();
  if (!value) return value;
  if (Result<void> end = reader.finish(); !end) return std::move(end).error();
  return value;
}

}  // namespace qlp
