// Value-or-message results used by every internal operation, and by the
// programs around the library. The library's own type rather than
// std::expected, which clang 14 does not offer with libstdc++ 12: the library
// must build with either compiler.
#pragma once

#include <concepts>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace vantle {

// The message texts are part of the contract: they travel up unchanged and
// the innermost one is what the host reads.
using Error = std::string;

// A failed result on its way to the Result it converts into.
struct Failure {
  explicit Failure(Error text) : message(std::move(text)) {}
  Error message;
};

inline Failure fail(Error message) {
  return Failure(std::move(message));
}

template <typename T>
class Result;

// What converts into a Result<T> as its value: not another Result or Failure.
template <typename U, typename T>
concept ValueOf =
    std::constructible_from<T, U&&> && !std::same_as<std::remove_cvref_t<U>, Result<T>> &&
    !std::same_as<std::remove_cvref_t<U>, Failure>;

// Either a T or the message of what went wrong; reads like std::expected.
template <typename T>
class Result {
 public:
  Result() : state_(std::in_place_index<0>) {}
  template <ValueOf<T> U = T>
  explicit(!std::convertible_to<U&&, T>) Result(U&& value)
      : state_(std::in_place_index<0>, std::forward<U>(value)) {}
  Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure.message)) {}

  bool has_value() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& operator*() & { return *std::get_if<0>(&state_); }
  const T& operator*() const& { return *std::get_if<0>(&state_); }
  T&& operator*() && { return std::move(*std::get_if<0>(&state_)); }
  T* operator->() { return std::get_if<0>(&state_); }
  const T* operator->() const { return std::get_if<0>(&state_); }
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  template <typename U>
  T value_or(U&& otherwise) const& {
    return has_value() ? **this : static_cast<T>(std::forward<U>(otherwise));
  }

  const Error& error() const& { return *std::get_if<1>(&state_); }
  Error& error() & { return *std::get_if<1>(&state_); }
  Error&& error() && { return std::move(*std::get_if<1>(&state_)); }

 private:
  std::variant<T, Error> state_;
};

// Result of an operation that yields nothing but may fail.
template <>
class Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : error_(std::move(failure.message)), ok_(false) {}

  bool has_value() const noexcept { return ok_; }
  explicit operator bool() const noexcept { return ok_; }
  const Error& error() const& { return error_; }
  Error& error() & { return error_; }
  Error&& error() && { return std::move(error_); }

 private:
  Error error_;
  bool ok_ = true;
};

using Status = Result<void>;

}  // namespace vantle
