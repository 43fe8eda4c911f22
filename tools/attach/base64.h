// Base64 (RFC 4648, standard alphabet, "=" padding) for the bytes that travel in frames.
#pragma once

#include <string>
#include <string_view>

#include "error.h"

namespace qlp::attach {

/// The Base64 text of `bytes`, padded, without line breaks.
std::string base64_encode(std::string_view bytes);

/// The bytes of a padded Base64 text. Fails on a symbol outside the alphabet, on a length
/// that is not a multiple of four, and on misplaced padding. The bridge only ever sends
/// canonical text, so nothing more lenient is needed here.
Result<std::string> base64_decode(std::string_view text);

}  // namespace qlp::attach
