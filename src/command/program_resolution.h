// Turning a command description into a concrete process start.
#pragma once

#include <string>
#include <string_view>

#include "command/account.h"
#include "command/command_builder.h"
#include "base/error.h"

namespace qlp {

/// The builder's HOME when present and valid UTF-8 (even empty, unchecked);
/// otherwise the home directory of the account from `lookup`, or "/" when
/// there is no account. Fails with "failed to resolve home dir" when the
/// account's home directory is not valid UTF-8.
Result<std::string> resolve_home_dir(const CommandBuilder& builder,
                                     const AccountLookup& lookup = lookup_account);

/// The file that `program` stands for when started in `dir`: an absolute
/// program as given, one whose first component is "." or ".." under `dir`,
/// any other searched along the builder's PATH, each entry taken under `dir`.
/// The checks run from this process's current directory, so a relative `dir`
/// gives a relative result. Fails with the texts of an unusable program.
Result<std::string> resolve_program(const CommandBuilder& builder, std::string_view program,
                                    std::string_view dir);

/// `tail` when it is absolute; otherwise `head`, a "/" unless `head` is
/// empty or already ends in one, then `tail`.
std::string join_path(std::string_view head, std::string_view tail);

}  // namespace qlp
