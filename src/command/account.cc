#include "command/account.h"

#include <pwd.h>
#include <unistd.h>

namespace qlp {

std::optional<AccountInfo> lookup_account() {
  const passwd* entry = ::getpwuid(::getuid());
  if (entry == nullptr) return std::nullopt;
  return AccountInfo{entry->pw_dir != nullptr ? entry->pw_dir : "",
                     entry->pw_shell != nullptr ? entry->pw_shell : ""};
}

}  // namespace qlp
