// The byte stream the stress child floods with, shared by the child and the
// tests that check it: position-dependent with a period far beyond any test,
// so that a lost, doubled or reordered chunk always shows as a mismatch.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qlp::test {

inline std::uint64_t flood_block(std::uint64_t index) {
  // splitmix64: every 8-byte block differs from its neighbours.
  std::uint64_t z = index + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

/// Writes bytes [offset, offset + count) of the flood stream to `out`.
inline void flood_fill(std::uint64_t offset, unsigned char* out, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t at = offset + i;
    out[i] = static_cast<unsigned char>(flood_block(at / 8) >> (8 * (at % 8)));
  }
}

}  // namespace qlp::test
