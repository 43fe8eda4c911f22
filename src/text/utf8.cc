#include "text/utf8.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "text/unicode_tables.h"

namespace qlp {
namespace {

/// One step of decoding: a code point, or an invalid sequence of `length`
/// bytes (the maximal subpart of an ill-formed sequence, so that a broken
/// sequence counts once and a stray byte after it starts afresh).
struct Decoded {
  bool valid;
  char32_t code_point;
  std::size_t length;
};

Decoded decode_at(std::string_view bytes, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  const std::uint8_t lead = byte(at);
  if (lead < 0x80) return {true, lead, 1};

  std::size_t needed;
  char32_t value;
  // The accepted range of the second byte excludes overlong forms, surrogates
  // and code points above U+10FFFF.
  std::uint8_t low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {false, 0, 1};
  }

  std::size_t length = 1;
  for (std::size_t k = 0; k < needed; ++k) {
    if (at + length >= bytes.size()) return {false, 0, length};
    const std::uint8_t next = byte(at + length);
    if (next < (k == 0 ? low : 0x80) || next > (k == 0 ? high : 0xBF)) return {false, 0, length};
    value = (value << 6) | (next & 0x3F);
    ++length;
  }
  return {true, value, length};
}

}  // namespace

Result<void> validate_utf8(std::string_view bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    const Decoded d = decode_at(bytes, at);
    if (!d.valid) {
      return Error("invalid utf-8 byte sequence of " + std::to_string(d.length) +
                   (d.length == 1 ? " byte" : " bytes") + " at offset " + std::to_string(at));
    }
    at += d.length;
  }
  return {};
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    // Frames are mostly ASCII (JSON and Base64): skip eight bytes at a time.
    for (std::uint64_t word; bytes.size() - at >= 8; at += 8) {
      std::memcpy(&word, bytes.data() + at, 8);
      if (word & 0x8080808080808080ULL) break;
    }
    if (at == bytes.size()) break;
    const Decoded d = decode_at(bytes, at);
    if (!d.valid) return false;
    at += d.length;
  }
  return true;
}

std::size_t utf8_sequence_length(std::string_view bytes, std::size_t at) {
  const Decoded d = decode_at(bytes, at);
  return d.valid ? d.length : 0;
}

std::string to_utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    const Decoded d = decode_at(bytes, at);
    if (d.valid) {
      out.append(bytes.substr(at, d.length));
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD REPLACEMENT CHARACTER
    }
    at += d.length;
  }
  return out;
}

std::string quoted_form(std::string_view bytes) {
  std::string out = "\"";
  char hex[16];
  for (std::size_t at = 0; at < bytes.size();) {
    const Decoded d = decode_at(bytes, at);
    if (!d.valid) {
      for (std::size_t i = 0; i < d.length; ++i) {
        std::snprintf(hex, sizeof hex, "\\x%02X",
                      static_cast<unsigned>(static_cast<std::uint8_t>(bytes[at + i])));
        out += hex;
      }
    } else {
      switch (d.code_point) {
        case U'"':
          out += "\\\"";
          break;
        case U'\\':
          out += "\\\\";
          break;
        case U'\n':
          out += "\\n";
          break;
        case U'\t':
          out += "\\t";
          break;
        case U'\r':
          out += "\\r";
          break;
        case U'\0':
          out += "\\0";
          break;
        default:
          if (!is_printable(d.code_point)) {
            std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(d.code_point));
            out += hex;
          } else {
            out.append(bytes.substr(at, d.length));
          }
      }
    }
    at += d.length;
  }
  out += '"';
  return out;
}

}  // namespace qlp
