// Failures of the descriptor layer: duplicating a descriptor and setting its
// close-on-exec flag.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "base/check.h"
#include "base/error.h"

namespace qlp::descriptor {

enum class ErrorKind { Dup, Fcntl, Cloexec };

/// What went wrong and the OS error number behind it. The display text names
/// the step only; the OS error stays a separate cause.
class Error {
 public:
  static Error dup(std::int64_t fd, int source) { return Error(ErrorKind::Dup, fd, source); }
  static Error fcntl(int source) { return Error(ErrorKind::Fcntl, -1, source); }
  static Error cloexec(int source) { return Error(ErrorKind::Cloexec, -1, source); }

  ErrorKind kind() const { return kind_; }
  /// The descriptor being duplicated; meaningful for Dup only.
  std::int64_t fd() const { return fd_; }
  /// The OS error number.
  int source() const { return source_; }

  /// "dup of fd 7 failed", "fcntl read failed" or "failed to set cloexec".
  std::string to_string() const;
  /// The session's error value: the display text, with the OS error as its cause.
  qlp::Error into_error() const;

 private:
  Error(ErrorKind kind, std::int64_t fd, int source) : kind_(kind), fd_(fd), source_(source) {}

  ErrorKind kind_;
  std::int64_t fd_;
  int source_;
};

/// A value or a descriptor Error, with the surface of qlp::Result.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, error) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  T& value() & {
    QLP_CHECK(has_value(), "value() on a failed descriptor Result");
    return std::get<0>(state_);
  }
  T&& value() && {
    QLP_CHECK(has_value(), "value() on a failed descriptor Result");
    return std::get<0>(std::move(state_));
  }
  const Error& error() const {
    QLP_CHECK(!has_value(), "error() on a successful descriptor Result");
    return std::get<1>(state_);
  }
  T& operator*() & { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }

 private:
  std::variant<T, Error> state_;
};

/// Success, or a descriptor Error.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::in_place, error) {}

  bool has_value() const { return !error_.has_value(); }
  explicit operator bool() const { return has_value(); }
  const Error& error() const {
    QLP_CHECK(!has_value(), "error() on a successful descriptor Result");
    return *error_;
  }

 private:
  std::optional<Error> error_;
};

}  // namespace qlp::descriptor
