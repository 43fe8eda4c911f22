// Texts of the warnings issued when a shell choice falls back.
#pragma once

#include <string>
#include <string_view>

namespace qlp {

/// The account's shell is not valid UTF-8; `utf8_error` is the decoding error's text.
std::string passwd_shell_not_utf8_warning(std::string_view utf8_error);

/// The account's shell failed the execute check with `errnum`.
std::string passwd_shell_not_executable_warning(std::string_view shell, int errnum);

/// The builder's SHELL failed the execute check with `errnum`.
std::string env_shell_not_executable_warning(std::string_view shell, int errnum);

}  // namespace qlp
