// Results for the .xls engine: a value or an XlsError. The engine is pure C++
// (no Qt): its error carries a code callers choose their words from, the
// system error number behind it, where a damaged file is broken, and an
// English description for logs, in the result shape the whole tree shares.
#pragma once

#include "core/basic_result.h"

#include <cstdint>
#include <string>

namespace kestrune::xls {

// What went wrong, for callers that tell the user or act on it.
enum class XlsErrorCode : std::uint8_t {
  CannotOpen,        // the file could not be opened (sysError says why)
  CannotRead,        // reading the opened file failed
  TooLarge,          // the file is larger than a workbook the engine reads
  NotCompoundFile,   // the file is no compound document: another format
  Excel95,           // an Excel 5.0/95 workbook (BIFF5/7)
  OlderThanBiff8,    // a workbook of a format before Excel 97-2003
  NoWorkbookStream,  // a compound document of another application
  Encrypted,         // password protected, not with Excel's default password
  Signed,            // digitally signed: saving would break the signature
  Damaged,           // the structure is broken; `where` and `offset` say where
  CannotSave,        // the file could not be written (sysError says why)
  TooLargeToSave,    // the workbook would not fit a compound file
  DateOutOfRange,    // a date/time the workbook cannot hold
  NoSuchSheet,       // a sheet number past the last sheet
  NotWorksheet,      // a chart or other sheet where cells are needed
  OutsideSheet,      // a row or column past the sheet's last
  ValueNotStorable,  // text too long, a number that is not finite
  TooManyFormats,    // no room for another cell or number format
  TooManySheets,     // no room for another sheet
  BadSheetName,      // a sheet name the format does not allow, or one in use
};

struct XlsError {
  std::string description;  // in English, for logs and traces
  XlsErrorCode code = XlsErrorCode::Damaged;
  int sysError = 0;          // the errno of the system call that failed; 0 for none
  std::string where;         // of a damaged file: the part that is broken ("directory", "Workbook stream")
  std::int64_t offset = -1;  // of a damaged file: the byte offset in that part; -1 when unknown
};

template <typename T>
using XlsResult = BasicResult<T, XlsError>;
using XlsStatus = BasicStatus<XlsError>;

inline XlsError xlsFail(XlsErrorCode code, std::string description) {
  return XlsError{std::move(description), code, 0, {}, -1};
}

// A failure of a system call; `error` is its errno.
inline XlsError xlsSystemFail(XlsErrorCode code, int error, std::string description) {
  return XlsError{std::move(description), code, error, {}, -1};
}

// A damaged file, broken in `where` (at `offset` there, where known).
inline XlsError xlsDamaged(std::string where, std::string description, std::int64_t offset = -1) {
  return XlsError{std::move(description), XlsErrorCode::Damaged, 0, std::move(where), offset};
}

}  // namespace kestrune::xls
