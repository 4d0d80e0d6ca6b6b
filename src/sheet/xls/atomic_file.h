// Replaces a file's contents atomically: a temporary file in the same folder
// is written, synced and renamed over the target.
#pragma once

#include "sheet/xls/bytes.h"
#include "sheet/xls/xls_result.h"

#include <string>

namespace kestrune::xls {

XlsStatus writeFileAtomically(const std::string& path, ByteView data);

}  // namespace kestrune::xls
