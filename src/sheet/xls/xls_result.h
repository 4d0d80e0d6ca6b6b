// Results for the .xls engine: a value or an XlsError with a description.
// The engine is pure C++ (no Qt), so it carries its own small result types in
// the same shape as core/result.h; the adapter that uses it converts them.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace kestrune::xls {

struct XlsError {
  std::string description;
};

template <typename T>
class [[nodiscard]] XlsResult {
public:
  XlsResult(T value) : state_(std::move(value)) {}
  XlsResult(XlsError error) : state_(std::move(error)) {}

  bool ok() const { return std::holds_alternative<T>(state_); }
  explicit operator bool() const { return ok(); }

  const T& value() const& { return std::get<T>(state_); }
  T& value() & { return std::get<T>(state_); }
  T&& value() && { return std::get<T>(std::move(state_)); }
  const T& operator*() const& { return value(); }
  T& operator*() & { return value(); }
  const T* operator->() const { return &value(); }
  T* operator->() { return &value(); }

  const XlsError& error() const { return std::get<XlsError>(state_); }
  std::string description() const { return ok() ? std::string() : error().description; }

private:
  std::variant<T, XlsError> state_;
};

// Success or an error, for operations without a value.
class [[nodiscard]] XlsStatus {
public:
  XlsStatus() = default;
  XlsStatus(XlsError error) : error_(std::move(error)) {}

  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }
  const XlsError& error() const { return *error_; }
  std::string description() const { return error_ ? error_->description : std::string(); }

private:
  std::optional<XlsError> error_;
};

inline XlsError xlsFail(std::string description) { return XlsError{std::move(description)}; }

}  // namespace kestrune::xls
