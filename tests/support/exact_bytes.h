// Input for a decoder in a buffer that ends where the input ends, as the bridge hands it over.
// Header-only: the fuzz targets use it too.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace qlp::test {

/// A heap copy of some bytes in an allocation of exactly their length. A std::string or a string
/// literal keeps a NUL (and a std::string often spare capacity) after its last byte, so a decoder
/// that reads one byte too far finds a harmless value there and AddressSanitizer sees nothing;
/// here that read falls outside the allocation and stops the test. A temporary lives to the end
/// of the full expression, so `decode(ExactBytes(text))` is safe for decoders that return owned
/// values.
class ExactBytes {
 public:
  explicit ExactBytes(std::string_view bytes)
      : size_(bytes.size()), data_(std::make_unique_for_overwrite<char[]>(bytes.size())) {
    if (size_ > 0) std::memcpy(data_.get(), bytes.data(), size_);
  }

  operator std::string_view() const { return {data_.get(), size_}; }

 private:
  std::size_t size_;
  std::unique_ptr<char[]> data_;
};

}  // namespace qlp::test
