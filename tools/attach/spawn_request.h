// The spawn request of an attach session: what a person asked to run, in the form frames carry.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bridge_client/frames.h"
#include "base/error.h"

namespace qlp::attach {

// The frames themselves are the bridge client's.
using client::SpawnRequest;
using client::TerminalSize;

/// Builds the spawn request of an attach session.
///
/// `command` is what the person asked to run (program and arguments); when empty, the
/// program is `shell` ($SHELL), or "/bin/sh" when that is absent or empty. `environ` holds
/// "NAME=VALUE" entries: each becomes an env member, except entries that are not UTF-8 or
/// have no "=" (the bridge inherits the tool's environment anyway, so they still reach the
/// program). A `cwd` that is not UTF-8 is left out. Fails when the program or an argument is
/// not UTF-8, since frames carry only text.
Result<SpawnRequest> build_spawn_request(const std::vector<std::string>& command,
                                         std::optional<std::string> shell,
                                         const std::vector<std::string>& environ,
                                         std::optional<std::string> cwd,
                                         std::optional<TerminalSize> size);

}  // namespace qlp::attach
