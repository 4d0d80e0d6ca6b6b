// Results of operations that can fail. No exception crosses a layer: a layer
// returns either its value or an Error that carries a description for the user
// and, where a caller may act on it, a code from that layer's own enum.
#pragma once

#include "core/basic_result.h"

#include <QString>

#include <cstdint>

namespace kestrune {

// The layer whose enum an Error's code belongs to.
enum class ErrorDomain : std::uint8_t {
  None,
  Serial,
  Settings,
  Sheet,
  Script,
  Mqtt,
  Shell,
  Info,
  Line,
  Chart,
  Conf,
  Web
};

struct Error {
  QString description;
  ErrorDomain domain = ErrorDomain::None;
  int code = 0;
  // What says more below the description (why, where); may be empty.
  QString detail;

  // Whether this error carries `value` from its layer's enum (each enum
  // declares `ErrorDomain errorDomainOf(Enum)` beside it).
  template <typename Code>
  bool is(Code value) const {
    return domain == errorDomainOf(value) && code == static_cast<int>(value);
  }
};

template <typename T>
using Result = BasicResult<T, Error>;
using Status = BasicStatus<Error>;

// A failure a caller may act on; `detail` says more under the description.
template <typename Code>
Error fail(Code code, QString description, QString detail = {}) {
  return Error{std::move(description), errorDomainOf(code), static_cast<int>(code), std::move(detail)};
}

}  // namespace kestrune
