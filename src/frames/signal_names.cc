#include "frames/signal_names.h"

#include <charconv>
#include <csignal>

namespace qlp {
namespace {

struct Named {
  const char* name;
  int number;
};

// The first entry for a number is the name it is shown by; later ones are aliases, accepted only.
// Each entry is guarded by its own macro, since systems differ in which they define.
constexpr Named kSignals[] = {
    {"SIGHUP", SIGHUP},
    {"SIGINT", SIGINT},
    {"SIGQUIT", SIGQUIT},
    {"SIGILL", SIGILL},
    {"SIGTRAP", SIGTRAP},
    {"SIGABRT", SIGABRT},
#ifdef SIGEMT
    {"SIGEMT", SIGEMT},
#endif
    {"SIGBUS", SIGBUS},
    {"SIGFPE", SIGFPE},
    {"SIGKILL", SIGKILL},
    {"SIGUSR1", SIGUSR1},
    {"SIGSEGV", SIGSEGV},
    {"SIGUSR2", SIGUSR2},
    {"SIGPIPE", SIGPIPE},
    {"SIGALRM", SIGALRM},
    {"SIGTERM", SIGTERM},
#ifdef SIGSTKFLT
    {"SIGSTKFLT", SIGSTKFLT},
#endif
    {"SIGCHLD", SIGCHLD},
    {"SIGCONT", SIGCONT},
    {"SIGSTOP", SIGSTOP},
    {"SIGTSTP", SIGTSTP},
    {"SIGTTIN", SIGTTIN},
    {"SIGTTOU", SIGTTOU},
    {"SIGURG", SIGURG},
    {"SIGXCPU", SIGXCPU},
    {"SIGXFSZ", SIGXFSZ},
    {"SIGVTALRM", SIGVTALRM},
    {"SIGPROF", SIGPROF},
    {"SIGWINCH", SIGWINCH},
#ifdef SIGIO
    {"SIGIO", SIGIO},
#endif
#ifdef SIGINFO
    {"SIGINFO", SIGINFO},
#endif
#ifdef SIGPWR
    {"SIGPWR", SIGPWR},
#endif
    {"SIGSYS", SIGSYS},
    // Aliases.
    {"SIGIOT", SIGABRT},
#ifdef SIGPOLL
    {"SIGPOLL", SIGPOLL},
#endif
#ifdef SIGCLD
    {"SIGCLD", SIGCLD},
#endif
};

#ifdef SIGRTMIN
/// `text` as a whole decimal number, nothing when it is not one.
std::optional<int> decimal(std::string_view text) {
  int value = 0;
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<int> realtime_number(std::string_view name) {
  // SIGRTMIN and SIGRTMAX are run-time values where the C library keeps some for itself.
  const int low = SIGRTMIN;
  const int high = SIGRTMAX;
  for (const bool from_low : {true, false}) {
    const std::string_view base = from_low ? "SIGRTMIN" : "SIGRTMAX";
    if (name.substr(0, base.size()) != base) continue;
    std::string_view rest = name.substr(base.size());
    if (rest.empty()) return from_low ? low : high;
    if (rest.front() != (from_low ? '+' : '-')) return std::nullopt;
    std::optional<int> offset = decimal(rest.substr(1));
    if (!offset || *offset > high - low) return std::nullopt;
    return from_low ? low + *offset : high - *offset;
  }
  return std::nullopt;
}
#endif

}  // namespace

std::optional<int> signal_number(std::string_view name) {
  for (const Named& known : kSignals) {
    if (name == known.name) return known.number;
  }
#ifdef SIGRTMIN
  return realtime_number(name);
#else
  return std::nullopt;
#endif
}

std::optional<std::string> signal_name(int number) {
  for (const Named& known : kSignals) {
    if (known.number == number) return std::string(known.name);
  }
#ifdef SIGRTMIN
  if (number >= SIGRTMIN && number <= SIGRTMAX) {
    if (number == SIGRTMIN) return std::string("SIGRTMIN");
    return "SIGRTMIN+" + std::to_string(number - SIGRTMIN);
  }
#endif
  return std::nullopt;
}

}  // namespace qlp
