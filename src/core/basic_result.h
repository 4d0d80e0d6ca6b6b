// The shape of every result in Kestrune: a value or an error, and success or
// an error for operations without a value. Pure C++, so the .xls engine and
// the virtual instrument (which do not use Qt) share it with the rest; each
// chooses its error type, a struct with a `description` member.
#pragma once

#include <optional>
#include <utility>
#include <variant>

namespace kestrune {

template <typename T, typename E>
class [[nodiscard]] BasicResult {
public:
  BasicResult(T value) : state_(std::move(value)) {}
  BasicResult(E error) : state_(std::move(error)) {}

  bool ok() const { return std::holds_alternative<T>(state_); }
  explicit operator bool() const { return ok(); }

  const T& value() const& { return std::get<T>(state_); }
  T& value() & { return std::get<T>(state_); }
  T&& value() && { return std::get<T>(std::move(state_)); }
  const T& operator*() const& { return value(); }
  T& operator*() & { return value(); }
  const T* operator->() const { return &value(); }
  T* operator->() { return &value(); }

  const E& error() const { return std::get<E>(state_); }
  auto description() const { return ok() ? decltype(E::description){} : error().description; }

private:
  std::variant<T, E> state_;
};

template <typename E>
class [[nodiscard]] BasicStatus {
public:
  BasicStatus() = default;
  BasicStatus(E error) : error_(std::move(error)) {}
  static BasicStatus success() { return {}; }

  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }
  const E& error() const { return *error_; }
  auto description() const { return error_ ? error_->description : decltype(E::description){}; }

private:
  std::optional<E> error_;
};

}  // namespace kestrune
