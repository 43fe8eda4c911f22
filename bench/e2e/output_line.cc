#include "output_line.h"

#include <array>

namespace qlp::bench {
namespace {

constexpr std::string_view kReady = R"({"type":"ready"})";
constexpr std::string_view kDataPrefix = R"({"type":"data","data":")";
constexpr std::string_view kDataSuffix = R"("})";
constexpr std::string_view kExitPrefix = R"({"type":"exit","code":)";
constexpr std::string_view kErrorPrefix = R"({"type":"error",)";

constexpr std::uint8_t kBad = 0xFF;

constexpr std::array<std::uint8_t, 256> make_values() {
  std::array<std::uint8_t, 256> values{};
  for (auto& v : values) v = kBad;
  constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::size_t i = 0; i < alphabet.size(); ++i) {
    values[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return values;
}
constexpr auto kValues = make_values();

}  // namespace

OutputLine parse_output_line(std::string_view line) {
  OutputLine parsed;
  parsed.text = line;
  if (line.starts_with(kDataPrefix) && line.ends_with(kDataSuffix) &&
      line.size() >= kDataPrefix.size() + kDataSuffix.size()) {
    parsed.type = OutputLine::Type::data;
    parsed.data =
        line.substr(kDataPrefix.size(), line.size() - kDataPrefix.size() - kDataSuffix.size());
  } else if (line == kReady) {
    parsed.type = OutputLine::Type::ready;
  } else if (line.starts_with(kExitPrefix) && line.ends_with("}")) {
    std::string_view digits = line.substr(kExitPrefix.size(), line.size() - kExitPrefix.size() - 1);
    std::uint64_t code = 0;
    bool ok = !digits.empty() && digits.size() <= 10;
    for (char c : digits) {
      ok = ok && c >= '0' && c <= '9';
      code = code * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (ok && code <= 0xFFFFFFFFu) {
      parsed.type = OutputLine::Type::exit;
      parsed.code = static_cast<std::uint32_t>(code);
    }
  } else if (line.starts_with(kErrorPrefix)) {
    parsed.type = OutputLine::Type::error;
  }
  return parsed;
}

std::ptrdiff_t decode_base64(std::string_view text, unsigned char* out) {
  if (text.size() % 4 != 0) return -1;
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size();
  std::size_t pads = 0;
  if (n > 0 && in[n - 1] == '=') pads = in[n - 2] == '=' ? 2 : 1;
  const std::size_t whole = pads ? n - 4 : n;
  unsigned char* dst = out;
  for (std::size_t i = 0; i < whole; i += 4, dst += 3) {
    const std::uint32_t a = kValues[in[i]], b = kValues[in[i + 1]];
    const std::uint32_t c = kValues[in[i + 2]], d = kValues[in[i + 3]];
    if ((a | b | c | d) & 0x80) return -1;  // only kBad has the high bit
    const std::uint32_t bits = a << 18 | b << 12 | c << 6 | d;
    dst[0] = static_cast<unsigned char>(bits >> 16);
    dst[1] = static_cast<unsigned char>(bits >> 8);
    dst[2] = static_cast<unsigned char>(bits);
  }
  if (pads) {
    const std::uint32_t a = kValues[in[whole]], b = kValues[in[whole + 1]];
    const std::uint32_t c = pads == 1 ? kValues[in[whole + 2]] : 0;
    if ((a | b | c) & 0x80) return -1;
    const std::uint32_t bits = a << 18 | b << 12 | c << 6;
    // Canonical form only: the bits below the last whole byte are zero.
    if (bits & (pads == 2 ? 0xFFFFu : 0xFFu)) return -1;
    *dst++ = static_cast<unsigned char>(bits >> 16);
    if (pads == 1) *dst++ = static_cast<unsigned char>(bits >> 8);
  }
  return dst - out;
}

}  // namespace qlp::bench
