// Base64 (RFC 4648): standard alphabet, "=" padding, no line breaks. Terminal bytes travel inside
// frames in this form in both directions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/error.h"

namespace qlp {

/// The 64 symbols, in the order of their values.
inline constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/// The length of the Base64 text of `byte_count` bytes: 4 per 3-byte group, rounded up.
constexpr std::size_t base64_encoded_length(std::size_t byte_count) {
  return (byte_count + 2) / 3 * 4;
}

/// The padded Base64 text of `bytes`; zero bytes give the empty text. Cannot fail.
/// Pure; safe from any thread.
std::string base64_encode(std::string_view bytes);

/// Appends the Base64 text of `bytes` to `out`. Allocates only when `out` lacks the capacity,
/// so a reused buffer makes encoding allocation-free.
void base64_encode_append(std::string_view bytes, std::string& out);

/// Writes the base64_encoded_length(bytes.size()) symbols of `bytes` at `out` and returns
/// their end: for a caller with a buffer of its own, no allocation at all.
char* base64_encode_to(std::string_view bytes, char* out);

/// Decodes the canonical form that base64_encode produces, and only that: padding required, no
/// unused bits set, no white space. On failure nothing is returned but the error, whose message is
/// one of "Invalid symbol B, offset N.", "Invalid input length: L",
/// "Invalid last symbol B, offset N." or "Invalid padding" (B a byte value in decimal, N a byte
/// offset from 0). Pure; safe from any thread.
Result<std::string> base64_decode(std::string_view text);

}  // namespace qlp
