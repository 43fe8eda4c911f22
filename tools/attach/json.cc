#include "attach/json.h"

#include <cstdint>

namespace qlp::attach {
namespace {

constexpr int kMaxDepth = 128;

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  Result<JsonValue> parse_document() {
    JsonValue value;
    if (!parse_value(value, 1)) return Error(error_);
    skip_space();
    if (pos_ != text_.size()) return Error(describe("trailing characters"));
    return value;
  }

 private:
  std::string describe(const std::string& what) const {
    return "invalid JSON at byte " + std::to_string(pos_ + 1) + ": " + what;
  }
  bool fail(const std::string& what) {
    error_ = describe(what);
    return false;
  }
  void skip_space() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }
  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }

  bool parse_value(JsonValue& out, int depth) {
    skip_space();
    if (at_end()) return fail("unexpected end of text");
    char c = peek();
    if (c == '{' || c == '[') {
      if (depth > kMaxDepth) return fail("nesting too deep");
      return c == '{' ? parse_object(out, depth) : parse_array(out, depth);
    }
    if (c == '"') {
      out.kind = JsonValue::Kind::kString;
      return parse_string(out.text);
    }
    if (c == '-' || (c >= '0' && c <= '9')) return parse_number(out);
    if (literal("true")) {
      out.kind = JsonValue::Kind::kBool;
      out.boolean = true;
      return true;
    }
    if (literal("false")) {
      out.kind = JsonValue::Kind::kBool;
      return true;
    }
    if (literal("null")) {
      out.kind = JsonValue::Kind::kNull;
      return true;
    }
    return fail("expected a value");
  }

  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  bool parse_object(JsonValue& out, int depth) {
    out.kind = JsonValue::Kind::kObject;
    ++pos_;
    skip_space();
    if (!at_end() && peek() == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      skip_space();
      if (at_end() || peek() != '"') return fail("expected a string key");
      std::string key;
      if (!parse_string(key)) return false;
      skip_space();
      if (at_end() || peek() != ':') return fail("expected ':'");
      ++pos_;
      JsonValue value;
      if (!parse_value(value, depth + 1)) return false;
      out.members.push_back({std::move(key), std::move(value)});
      skip_space();
      if (at_end()) return fail("unexpected end of text");
      if (peek() == '}') {
        ++pos_;
        return true;
      }
      if (peek() != ',') return fail("expected ',' or '}'");
      ++pos_;
    }
  }

  bool parse_array(JsonValue& out, int depth) {
    out.kind = JsonValue::Kind::kArray;
    ++pos_;
    skip_space();
    if (!at_end() && peek() == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      JsonValue value;
      if (!parse_value(value, depth + 1)) return false;
      out.items.push_back(std::move(value));
      skip_space();
      if (at_end()) return fail("unexpected end of text");
      if (peek() == ']') {
        ++pos_;
        return true;
      }
      if (peek() != ',') return fail("expected ',' or ']'");
      ++pos_;
    }
  }

  bool parse_number(JsonValue& out) {
    size_t start = pos_;
    auto digits = [&] {
      size_t first = pos_;
      while (!at_end() && peek() >= '0' && peek() <= '9') ++pos_;
      return pos_ > first;
    };
    if (peek() == '-') ++pos_;
    if (!at_end() && peek() == '0') {
      ++pos_;
    } else if (!digits()) {
      return fail("invalid number");
    }
    if (!at_end() && peek() == '.') {
      ++pos_;
      if (!digits()) return fail("invalid number");
    }
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
      ++pos_;
      if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
      if (!digits()) return fail("invalid number");
    }
    out.kind = JsonValue::Kind::kNumber;
    out.text = std::string(text_.substr(start, pos_ - start));
    return true;
  }

  bool parse_hex4(uint32_t& out) {
    if (text_.size() - pos_ < 4) return fail("unexpected end of text");
    out = 0;
    for (int i = 0; i < 4; ++i) {
      char c = text_[pos_++];
      out <<= 4;
      if (c >= '0' && c <= '9') {
        out |= static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        out |= static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        out |= static_cast<uint32_t>(c - 'A' + 10);
      } else {
        --pos_;
        return fail("invalid \\u escape");
      }
    }
    return true;
  }

  static void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | cp >> 6);
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | cp >> 12);
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | cp >> 18);
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  bool parse_string(std::string& out) {
    ++pos_;  // the opening quote
    for (;;) {
      if (at_end()) return fail("unterminated string");
      char c = text_[pos_];
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) return fail("control character in string");
      if (c != '\\') {
        out += c;
        ++pos_;
        continue;
      }
      ++pos_;
      if (at_end()) return fail("unterminated string");
      char escape = text_[pos_++];
      switch (escape) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          uint32_t cp = 0;
          if (!parse_hex4(cp)) return false;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("lone trailing surrogate");
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t low = 0;
            if (text_.substr(pos_, 2) != "\\u") return fail("lone leading surrogate");
            pos_ += 2;
            if (!parse_hex4(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return fail("lone leading surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          append_utf8(out, cp);
          break;
        }
        default:
          --pos_;
          return fail("invalid escape");
      }
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::string error_;
};

}  // namespace

const JsonValue* JsonValue::find(std::string_view key) const {
  const JsonValue* found = nullptr;
  for (const auto& member : members) {
    if (member.key == key) found = &member.value;
  }
  return found;
}

Result<JsonValue> parse_json(std::string_view text) { return Parser(text).parse_document(); }

void append_json_string(std::string& out, std::string_view utf8) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  size_t run = 0;  // start of the bytes not yet copied
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(utf8, run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
  }
  out.append(utf8, run, utf8.size() - run);
  out += '"';
}

bool is_valid_utf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t length = 0;
    uint32_t cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (bytes.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      cp = cp << 6 | (next & 0x3F);
    }
    if ((length == 3 && cp < 0x800) || (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace qlp::attach
