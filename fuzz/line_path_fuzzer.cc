// The whole path of standard input, as the session driver walks it: bytes split into lines, blank
// lines skipped, every other line decoded as one frame. Beyond not crashing:
// - the lines are those of a plain model of the framing: the bytes before each line feed, less
//   one carriage return directly before it, and the bytes after the last line feed as a last line;
// - a line is refused with "stream did not contain valid UTF-8" exactly when it is not UTF-8, and
//   nothing after it is read;
// - the lines come out the same whether the bytes arrive at once or in small pieces;
// - a blank line never decodes as a frame, so skipping it loses nothing;
// - every decoding failure has a message that is non-empty UTF-8 (it reaches the parent).
// Each line is decoded from a buffer of exactly its length, where a read past its end is caught;
// a std::string's NUL would hide it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frames/input_frame.h"
#include "text/unicode_tables.h"
#include "session/line_reader.h"
#include "support/exact_bytes.h"
#include "support/utf8_oracle.h"

namespace {

constexpr std::string_view kNotUtf8 = "stream did not contain valid UTF-8";

/// The lines read, ending with the read error if there was one.
struct Lines {
  std::vector<std::string> lines;
  std::optional<std::string> error;

  bool operator==(const Lines&) const = default;
};

Lines model(std::string_view bytes) {
  Lines out;
  while (!bytes.empty()) {
    std::size_t end = bytes.find('\n');
    std::string_view line = bytes.substr(0, end);
    bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
    if (end != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    if (!qlp::test::is_well_formed_utf8(line)) {
      out.error = std::string(kNotUtf8);
      break;
    }
    out.lines.emplace_back(line);
  }
  return out;
}

/// The splitter fed `bytes` in pieces of the sizes `piece` gives (all at once when it gives 0),
/// taking every line it has after each piece, until the first error.
template <typename PieceSize>
Lines split(std::string_view bytes, PieceSize piece) {
  qlp::LineSplitter splitter;
  Lines out;
  bool at_end = false;
  for (;;) {
    if (!at_end) {
      std::size_t size = piece();
      if (size == 0 || size > bytes.size()) size = bytes.size();
      splitter.append(bytes.substr(0, size));
      bytes.remove_prefix(size);
      at_end = bytes.empty();
    }
    for (;;) {
      qlp::Result<std::optional<std::string_view>> line = splitter.next_line(at_end);
      if (!line) {
        out.error = line.error().message();
        return out;
      }
      if (!line->has_value()) break;
      out.lines.emplace_back(**line);
    }
    if (at_end) return out;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const Lines expected = model(bytes);
  if (split(bytes, [] { return std::size_t{0}; }) != expected) std::abort();
  // Small pieces of varying size, so that line feeds, carriage returns and UTF-8 sequences fall
  // on every kind of boundary between reads.
  std::uint32_t state = static_cast<std::uint32_t>(size) * 2654435761u + 1;
  const auto small_piece = [&state] {
    state = state * 1103515245u + 12345u;
    return std::size_t{1} + (state >> 16) % 7;
  };
  if (split(bytes, small_piece) != expected) std::abort();

  for (const std::string& line : expected.lines) {
    qlp::Result<qlp::InputFrame> frame = qlp::parse_input_frame(qlp::test::ExactBytes(line));
    if (qlp::is_blank_line(line)) {
      if (frame) std::abort();
      continue;
    }
    if (!frame) {
      const std::string& message = frame.error().message();
      if (message.empty() || !qlp::test::is_well_formed_utf8(message)) std::abort();
    }
  }
  return 0;
}
