#include "command/log.h"

namespace qlp {

void log_write(LogLevel /*level*/, const std::string& /*message*/) {
  // No sink is installed: standard output carries frames only, and standard
  // error belongs to the parent's terminal.
}

}  // namespace qlp
