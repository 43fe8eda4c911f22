#include "command/shell_warnings.h"

#include "text/utf8.h"
#include "base/errno_table.h"

namespace qlp {

std::string passwd_shell_not_utf8_warning(std::string_view utf8_error) {
  return "passwd database shell could not be represented as utf-8: " + std::string(utf8_error) +
         ", falling back to /bin/sh";
}

std::string passwd_shell_not_executable_warning(std::string_view shell, int errnum) {
  return "passwd database shell=" + quoted_form(shell) + " which is not executable (" +
         errno_name_and_description(errnum) + "), falling back to /bin/sh";
}

std::string env_shell_not_executable_warning(std::string_view shell, int errnum) {
  return "$SHELL -> " + quoted_form(shell) + " which is not executable (" +
         errno_name_and_description(errnum) + "), falling back to password db lookup";
}

}  // namespace qlp
