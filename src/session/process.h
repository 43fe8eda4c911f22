// What the process settles before the session starts.
#pragma once

namespace qlp {

/// Opens any of descriptors 0, 1 and 2 that is closed on /dev/null (aborting
/// when that cannot be opened), ignores SIGPIPE and restores SIGCHLD to its
/// default. Must run first in main, while the process has one thread.
void prepare_process();

}  // namespace qlp
