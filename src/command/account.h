// The user database entry of the real user, as the command description needs it.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace qlp {

/// Fields copied from the user database entry; byte strings.
struct AccountInfo {
  std::string home_dir;
  std::string shell;
};

/// The entry of the real user id (getuid, then getpwuid), copied at once
/// because getpwuid returns shared static storage; nothing when there is no
/// entry. Main thread only: no other thread of the bridge uses the database.
std::optional<AccountInfo> lookup_account();

/// Where the shell and home-directory fallbacks get the account from;
/// `lookup_account` except in tests that need another user database.
using AccountLookup = std::function<std::optional<AccountInfo>()>;

}  // namespace qlp
