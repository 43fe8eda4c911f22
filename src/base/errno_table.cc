#include "base/errno_table.h"

#include <cerrno>
#include <string_view>

#include "base/errno_list.h"

namespace qlp {
namespace {

// A name's text after macro expansion: its number ("2") where the platform defines it, the
// name itself ("EBADRPC") where it does not.
#define QLP_EXPANDED_TEXT(name) QLP_EXPANDED_TEXT_(name)
#define QLP_EXPANDED_TEXT_(name) #name

/// The number an expanded name reads as, possibly in parentheses; -1 for anything else.
constexpr int number_in(std::string_view text) {
  while (text.size() >= 2 && text.front() == '(' && text.back() == ')') {
    text = text.substr(1, text.size() - 2);
  }
  if (text.empty() || text.size() > 9) return -1;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// A name the platform defines as anything but a plain number would silently lose its row.
#define QLP_CHECK_ROW(name, kind)                                                        \
  static_assert(number_in(QLP_EXPANDED_TEXT(name)) > 0 ||                                \
                    std::string_view(QLP_EXPANDED_TEXT(name)) == std::string_view(#name), \
                "errno " #name " is defined as something other than a number");
QLP_ERRNO_LIST(QLP_CHECK_ROW)
#undef QLP_CHECK_ROW

struct ErrnoRow {
  int number;  ///< -1 where the platform does not define the name.
  const char* name;
  const char* kind;
};

constexpr ErrnoRow kRows[] = {
#define QLP_ROW(name, kind) {number_in(QLP_EXPANDED_TEXT(name)), #name, #kind},
    QLP_ERRNO_LIST(QLP_ROW)
#undef QLP_ROW
};

/// The first row for `number`, or nullptr. Searched in order rather than switched on, since
/// several names may share a number and the first row wins.
const ErrnoRow* row_of(int number) {
  if (number <= 0) return nullptr;
  for (const ErrnoRow& row : kRows) {
    if (row.number == number) return &row;
  }
  return nullptr;
}

}  // namespace

const char* errno_name(int errnum) {
  const ErrnoRow* row = row_of(errnum);
  return row != nullptr ? row->name : nullptr;
}

std::string errno_name_and_description(int errnum) {
  // Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) on "literal" + std::string.
  const char* name = errno_name(errnum);
  std::string shown;
  if (name != nullptr) {
    shown.append(name);
  } else {
    shown.append("E").append(std::to_string(errnum));
  }
  shown.append(": ").append(strerror_text(errnum));
  return shown;
}

const char* os_error_kind_name(int errnum) {
  const ErrnoRow* row = row_of(errnum);
  return row != nullptr ? row->kind : "Uncategorized";
}

std::string os_error_debug(int errnum) {
  std::string text("Os { code: ");
  text.append(std::to_string(errnum)).append(", kind: ").append(os_error_kind_name(errnum));
  text.append(", message: \"").append(strerror_text(errnum)).append("\" }");
  return text;
}

}  // namespace qlp
