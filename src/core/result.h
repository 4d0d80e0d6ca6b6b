// Results of operations that can fail. No exception crosses a layer: a layer
// returns either its value or an Error that carries a description for the user.
#pragma once

#include <QString>

#include <optional>
#include <utility>
#include <variant>

namespace kestrune {

struct Error {
  QString description;
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
  QString description() const { return ok() ? QString() : error().description; }

private:
  std::variant<T, Error> state_;
};

// Success or an error, for operations without a value.
class [[nodiscard]] Status {
public:
  Status() = default;
  Status(Error error) : error_(std::move(error)) {}
  static Status success() { return {}; }

  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return *error_; }
  QString description() const { return error_ ? error_->description : QString(); }

private:
  std::optional<Error> error_;
};

inline Error fail(QString description) { return Error{std::move(description)}; }

}  // namespace kestrune
