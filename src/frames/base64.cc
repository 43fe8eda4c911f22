#include "frames/base64.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace qlp {
namespace {

constexpr char kPad = '=';
// Marks a byte outside the alphabet ("=" included) in kSymbolValue.
constexpr std::uint8_t kInvalid = 0x80;

constexpr std::array<std::uint8_t, 256> make_value_table() {
  std::array<std::uint8_t, 256> table{};
  for (auto& value : table) value = kInvalid;
  for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kBase64Alphabet[i])] = i;
  return table;
}
constexpr auto kSymbolValue = make_value_table();

std::uint8_t value_of(char symbol) { return kSymbolValue[static_cast<unsigned char>(symbol)]; }
bool is_symbol(char byte) { return value_of(byte) != kInvalid; }

Error invalid_symbol(char byte, std::size_t offset) {
  return Error("Invalid symbol " + std::to_string(static_cast<unsigned char>(byte)) + ", offset " +
               std::to_string(offset) + ".");
}

}  // namespace

std::string base64_encode(std::string_view bytes) {
  std::string out;
  base64_encode_append(bytes, out);
  return out;
}

void base64_encode_append(std::string_view bytes, std::string& out) {
  const std::size_t start = out.size();
  out.resize(start + base64_encoded_length(bytes.size()));
  base64_encode_to(bytes, out.data() + start);
}

// The checks run in a fixed order because the order decides which message a parent sees for a
// text with several faults; each step below names the fault it reports first.
Result<std::string> base64_decode(std::string_view text) {
  const std::size_t n = text.size();
  if (n == 0) return std::string();

  // A lone trailing byte is reported before anything earlier in the text.
  if (n % 4 == 1 && !is_symbol(text[n - 1]) && text[n - 1] != kPad) {
    return invalid_symbol(text[n - 1], n - 1);
  }

  // The final group is the last 1 to 4 bytes; every group before it must be four symbols.
  const std::size_t final_start = n % 4 == 0 ? n - 4 : n - n % 4;
  std::string out(final_start / 4 * 3 + 3, '\0');
  char* dst = out.data();
  for (std::size_t i = 0; i < final_start; i += 4, dst += 3) {
    const std::uint8_t a = value_of(text[i]), b = value_of(text[i + 1]);
    const std::uint8_t c = value_of(text[i + 2]), d = value_of(text[i + 3]);
    if ((a | b | c | d) & kInvalid) {
      for (std::size_t j = i;; ++j) {
        if (!is_symbol(text[j])) return invalid_symbol(text[j], j);
      }
    }
    const std::uint32_t bits = std::uint32_t{a} << 18 | std::uint32_t{b} << 12 | c << 6 | d;
    dst[0] = static_cast<char>(bits >> 16);
    dst[1] = static_cast<char>(bits >> 8);
    dst[2] = static_cast<char>(bits);
  }

  // The final group, byte by byte: "=" may only stand in the third or fourth place, and only
  // "=" may follow a "=".
  std::uint32_t bits = 0;
  std::size_t symbols = 0;
  std::size_t pads = 0;
  std::size_t first_pad = 0;
  for (std::size_t i = final_start; i < n; ++i) {
    const char byte = text[i];
    if (byte == kPad) {
      if (i - final_start < 2) return invalid_symbol(byte, i);
      if (pads++ == 0) first_pad = i;
    } else if (!is_symbol(byte)) {
      return invalid_symbol(byte, i);
    } else if (pads > 0) {
      return invalid_symbol(kPad, first_pad);
    } else {
      bits = bits << 6 | value_of(byte);
      ++symbols;
    }
  }
  if (symbols == 1) return Error("Invalid input length: " + std::to_string(final_start + 1));
  if (symbols + pads != 4) return Error("Invalid padding");

  // Two symbols carry one byte and four spare bits, three carry two bytes and two spare bits.
  const unsigned spare_bits = symbols == 2 ? 4 : symbols == 3 ? 2 : 0;
  if (bits & ((1u << spare_bits) - 1)) {
    const std::size_t offset = final_start + symbols - 1;
    return Error("Invalid last symbol " + std::to_string(static_cast<unsigned char>(text[offset])) +
                 ", offset " + std::to_string(offset) + ".");
  }
  bits >>= spare_bits;
  const std::size_t final_bytes = symbols - 1;
  for (std::size_t k = 0; k < final_bytes; ++k) {
    dst[k] = static_cast<char>(bits >> (8 * (final_bytes - 1 - k)));
  }
  out.resize(static_cast<std::size_t>(dst - out.data()) + final_bytes);
  return out;
}

}  // namespace qlp
