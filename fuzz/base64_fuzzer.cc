// Round trips through the Base64 codec: any bytes encode to a text that decodes back to them, and
// any text that decodes is exactly the encoding of what it decodes to (the decoder accepts the
// canonical form only), so it decodes the same again. Every text is decoded from a buffer of
// exactly its length (libFuzzer's own is one), where a read past its end is caught.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "frames/base64.h"
#include "support/exact_bytes.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const std::string text = qlp::base64_encode(input);
  if (text.size() != qlp::base64_encoded_length(size)) std::abort();
  qlp::Result<std::string> back = qlp::base64_decode(qlp::test::ExactBytes(text));
  if (!back || *back != input) std::abort();

  qlp::Result<std::string> decoded = qlp::base64_decode(input);
  if (decoded) {
    const std::string again = qlp::base64_encode(*decoded);
    if (again != input) std::abort();
    qlp::Result<std::string> twice = qlp::base64_decode(qlp::test::ExactBytes(again));
    if (!twice || *twice != *decoded) std::abort();
  } else if (decoded.error().message().empty()) {
    std::abort();
  }
  return 0;
}
