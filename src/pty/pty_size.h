// The size of a terminal window.
#pragma once

#include <cstdint>

namespace qlp {

/// Maps one to one, in this order, onto the platform's window-size record.
/// Nothing here checks or defaults a field: zero passes through as zero.
struct PtySize {
  std::uint16_t rows = 24;
  std::uint16_t cols = 80;
  std::uint16_t pixel_width = 0;
  std::uint16_t pixel_height = 0;

  friend bool operator==(const PtySize&, const PtySize&) = default;
};

}  // namespace qlp
