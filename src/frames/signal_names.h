// Signal names as people write them ("SIGTERM", "SIGRTMIN+3"), both ways.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qlp {

/// The number of the signal called `name` on this system: the usual names and their common
/// aliases ("SIGIOT", "SIGPOLL", "SIGCLD"), and where realtime signals exist "SIGRTMIN",
/// "SIGRTMIN+n", "SIGRTMAX" and "SIGRTMAX-n". Nothing for any other text.
std::optional<int> signal_number(std::string_view name);

/// The usual name of signal `number` ("SIGKILL"; a realtime one as "SIGRTMIN+n"), or nothing
/// when this system has no name for it.
std::optional<std::string> signal_name(int number);

}  // namespace qlp
