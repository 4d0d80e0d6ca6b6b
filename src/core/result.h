// Results of operations that can fail. No exception crosses a layer: a layer
// returns either its value or an Error that carries a description for the user.
#pragma once

#include "core/basic_result.h"

#include <QString>

namespace kestrune {

struct Error {
  QString description;
};

template <typename T>
using Result = BasicResult<T, Error>;
using Status = BasicStatus<Error>;

inline Error fail(QString description) { return Error{std::move(description)}; }

}  // namespace kestrune
