// Results of the instrument's operations that can fail: a value or an Error
// with a description for the user. No exception leaves these functions.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace kestrune::instrument {

struct Error {
  std::string description;
};

template <typename T>
class [[nodiscard]] Result {
public:
  Result(T value) : state_(std::move(value)) {}
  Result(Error error) : state_(std::move(error)) {}

  bool ok() const { return std::holds_alternative<T>(state_); }
  explicit operator bool() const { return ok(); }

  const T& value() const& { return std::get<T>(state_); }
  T& value() & { return std::get<T>(state_); }
  T&& value() && { return std::get<T>(std::move(state_)); }
  const T& operator*() const& { return value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const { return std::get<Error>(state_); }
  std::string description() const { return ok() ? std::string() : error().description; }

private:
  std::variant<T, Error> state_;
};

// Success or an error, for operations without a value.
class [[nodiscard]] Status {
public:
  Status() = default;
  Status(Error error) : error_(std::move(error)) {}

  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return *error_; }
  std::string description() const { return error_ ? error_->description : std::string(); }

private:
  std::optional<Error> error_;
};

inline Error fail(std::string description) { return Error{std::move(description)}; }

}  // namespace kestrune::instrument
