// The benchmark's own reading of output frames, independent of the bridge's code: a bug shared by
// the bridge's encoder and a decoder borrowed from it would go unseen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qlp::bench {

/// One output line, split but not copied: views into the reader's buffer.
struct OutputLine {
  enum class Type { ready, data, exit, error, unknown };
  Type type = Type::unknown;
  std::string_view data;   ///< The Base64 text of a data frame.
  std::uint32_t code = 0;  ///< The code of an exit frame.
  std::string_view text;   ///< The whole line without its "\n".
};

/// Recognises the four frame lines by their exact bytes; anything else is `unknown`.
OutputLine parse_output_line(std::string_view line);

/// Decodes padded Base64 into `out`, which must hold 3 bytes per 4 symbols. Returns the number
/// of bytes, or -1 for text that is not canonical padded Base64.
std::ptrdiff_t decode_base64(std::string_view text, unsigned char* out);

}  // namespace qlp::bench
