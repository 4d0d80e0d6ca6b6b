// Results for the .xls engine: a value or an XlsError with a description.
// The engine is pure C++ (no Qt): its error carries a std::string, in the
// result shape the whole tree shares.
#pragma once

#include "core/basic_result.h"

#include <string>

namespace kestrune::xls {

struct XlsError {
  std::string description;
};

template <typename T>
using XlsResult = BasicResult<T, XlsError>;
using XlsStatus = BasicStatus<XlsError>;

inline XlsError xlsFail(std::string description) { return XlsError{std::move(description)}; }

}  // namespace kestrune::xls
