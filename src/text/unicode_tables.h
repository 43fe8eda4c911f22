// Unicode character properties the frame layer needs: which characters a
// message may show as they are, and which make a line blank.
#pragma once

#include <string_view>

namespace qlp {

/// True when `c` has the Unicode White_Space property.
bool is_white_space(char32_t c);

/// False for the general categories Cc, Cf, Cs, Co, Cn, Zl, Zp, and for Zs
/// other than U+0020 SPACE; true for every other character, combining marks
/// included. Values past U+10FFFF are not printable.
bool is_printable(char32_t c);

/// True when `utf8` is empty or holds only White_Space characters. The text
/// must be valid UTF-8.
bool is_blank_line(std::string_view utf8);

/// The version of the Unicode Character Database the tables were made from.
std::string_view unicode_tables_version();

}  // namespace qlp
