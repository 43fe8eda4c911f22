#include "frames/error_frame.h"

#include "base/errno_table.h"

namespace qlp {

OutputFrame::Error error_frame(const Error& error, bool details) {
  OutputFrame::Error frame{error.message(), std::nullopt, std::nullopt};
  if (!details) return frame;
  if (error.cause() != nullptr) frame.cause = error.cause()->message();
  for (const Error* link = &error; link != nullptr; link = link->cause()) {
    if (link->os_code() == 0) continue;
    const char* name = errno_name(link->os_code());
    frame.code = name != nullptr ? std::string(name) : "E" + std::to_string(link->os_code());
    break;
  }
  return frame;
}

}  // namespace qlp
