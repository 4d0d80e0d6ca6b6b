// Cutting one received line into its fields.
#pragma once

#include "core/cp932.h"

#include <vector>

namespace kestrune::script {

// The non-empty fields of `line`, in order. A start code is removed wherever
// it stands; the delimiter and the end code end a field; other control
// characters (codes 0 to 31) are dropped.
std::vector<cp932::CodeString> lineFields(const cp932::CodeString& line, cp932::Code startCode,
                                          cp932::Code delimiterCode, cp932::Code endCode);

}  // namespace kestrune::script
