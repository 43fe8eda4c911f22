#include "session/prompt_wakeups.h"

namespace qlp {

// macOS offers no request of this kind.
void prefer_prompt_wakeups() {}

}  // namespace qlp
