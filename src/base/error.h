// Error values and the result type that every layer returns.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "base/check.h"

namespace qlp {

/// A failure: one message, optionally wrapping the cause it was made from.
/// Only the outermost message is ever shown to the parent; causes exist for
/// tests and debugging. An error made from an OS error number remembers the
/// number so that callers can tell, say, EINTR from EIO.
class [[nodiscard]] Error {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}
  Error(std::string message, Error cause)
      : message_(std::move(message)), cause_(std::make_shared<const Error>(std::move(cause))) {}

  /// The one way a failed call becomes an error value; the number stays readable through
  /// os_code(). Alone, the OS error's display form: "No such file or directory (os error 2)".
  static Error os(int errnum);
  /// With what was being done in front, then the OS error's debug form:
  /// "failed to openpty: Os { code: 2, kind: NotFound, message: \"No such file or directory\" }".
  static Error os(int errnum, std::string_view context);
  /// An OS error number with a message of the caller's choosing.
  static Error os_with_message(int errnum, std::string message);

  const std::string& message() const { return message_; }
  /// The wrapped error, or nullptr.
  const Error* cause() const { return cause_.get(); }
  /// The OS error number this error was made from, or 0.
  int os_code() const { return os_code_; }

  /// Wraps this error as the cause of a new one that carries `message` and keeps its OS error
  /// number.
  Error wrap(std::string message) && {
    const int code = os_code_;
    Error wrapped(std::move(message), std::move(*this));
    wrapped.os_code_ = code;
    return wrapped;
  }

 private:
  std::string message_;
  // Shared and immutable, so an Error copies cheaply and a chain is never mutated.
  std::shared_ptr<const Error> cause_;
  int os_code_ = 0;
};

/// The display form of an OS error number: strerror text, then " (os error N)".
std::string os_error_display(int errnum);

/// Either a value or an Error; the surface of std::expected, which clang 14
/// cannot use with libstdc++.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & {
    QLP_CHECK(has_value(), "value() on a failed Result");
    return std::get<0>(state_);
  }
  const T& value() const& {
    QLP_CHECK(has_value(), "value() on a failed Result");
    return std::get<0>(state_);
  }
  T&& value() && {
    QLP_CHECK(has_value(), "value() on a failed Result");
    return std::get<0>(std::move(state_));
  }
  const Error& error() const& {
    QLP_CHECK(!has_value(), "error() on a successful Result");
    return std::get<1>(state_);
  }
  Error&& error() && {
    QLP_CHECK(!has_value(), "error() on a successful Result");
    return std::get<1>(std::move(state_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::make_unique<Error>(std::move(error))) {}
  Result(Result&&) = default;
  Result& operator=(Result&&) = default;
  Result(const Result& other)
      : error_(other.error_ ? std::make_unique<Error>(*other.error_) : nullptr) {}
  Result& operator=(const Result& other) {
    error_ = other.error_ ? std::make_unique<Error>(*other.error_) : nullptr;
    return *this;
  }

  bool has_value() const { return error_ == nullptr; }
  explicit operator bool() const { return has_value(); }
  void value() const { QLP_CHECK(has_value(), "value() on a failed Result"); }
  const Error& error() const& {
    QLP_CHECK(!has_value(), "error() on a successful Result");
    return *error_;
  }
  Error&& error() && {
    QLP_CHECK(!has_value(), "error() on a successful Result");
    return std::move(*error_);
  }

 private:
  // Null on success: success costs one pointer and no allocation.
  std::unique_ptr<Error> error_;
};

}  // namespace qlp
