// glibc's texts for Linux error numbers, generated from glibc by
// gen_linux_error_texts.py, so that every build shows them whatever C library
// it is linked with.
#pragma once

namespace qlp {

/// glibc's text for `errnum` on Linux ("No such file or directory" for 2), or
/// nullptr for a number glibc has no text for (it says "Unknown error N").
/// The numbers are those of x86-64 and arm64, which share one numbering.
const char* linux_error_text(int errnum);

}  // namespace qlp
