// Results of the instrument's operations that can fail: a value or an Error
// with a description for the user. No exception leaves these functions.
#pragma once

#include "core/basic_result.h"

#include <string>

namespace kestrune::instrument {

struct Error {
  std::string description;
};

template <typename T>
using Result = BasicResult<T, Error>;
using Status = BasicStatus<Error>;

inline Error fail(std::string description) { return Error{std::move(description)}; }

}  // namespace kestrune::instrument
