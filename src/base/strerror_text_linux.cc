// OS error texts where parents expect Linux's: glibc's, whichever C library the bridge is
// linked with.
#include <string>

#include "base/errno_table.h"
#include "base/linux_error_texts.h"

namespace qlp {

std::string strerror_text(int errnum) {
  // Parents on Linux know glibc's texts, and a bridge linked with another C library (the static
  // release build has musl: "No file descriptors available" for EMFILE) must still show those.
  const char* text = linux_error_text(errnum);
  if (text == nullptr || *text == '\0') {
    return std::string("Unknown error ").append(std::to_string(errnum));
  }
  return text;
}

}  // namespace qlp
