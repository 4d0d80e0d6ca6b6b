// Pure conversions of the built-in spreadsheet application: the logger's
// cell values to .xls engine values, the text a cell shows in the sheet
// window, and a save failure's cause in words.
#pragma once

#include "core/result.h"
#include "sheet/spreadsheet_app.h"
#include "sheet/xls/value.h"
#include "sheet/xls/xls_result.h"

#include <QString>

#include <cstdint>

namespace kestrune::sheet::embedded {

// The date/time serial of a stamp in the workbook's date system (1900 or
// 1904): Date is the date at midnight, Time the time of day alone (a serial
// below 1), DateTime both. Milliseconds are kept.
Result<xls::DateTimeValue> stampSerial(const Stamp& stamp, bool date1904);

// The engine value a cell is given: text goes through typed input ("12.5"
// becomes a number; "=1+1" stays text, so received data never becomes a
// formula), a whole number is a number, a stamp a date/time.
Result<xls::Value> toEngineValue(const CellValue& value, bool date1904);

// A number as the General format shows it: whole numbers without decimals,
// others with up to 10 significant digits ("0.3333333333", "1.5E+20").
QString numberText(double number);
// A date/time serial as "yyyy/mm/dd", "h:mm:ss" or "yyyy/mm/dd h:mm:ss",
// rounded to the second; with `milliseconds` its time as "hh:mm:ss.000",
// rounded to the millisecond. Serials a calendar cannot show give "#####".
QString dateText(double serial, xls::DateKind kind, bool date1904, bool milliseconds = false);
// "#DIV/0!" and the other error values by their code.
QString errorText(std::uint8_t code);
// What a cell shows; empty for an empty cell. `milliseconds`: its format
// shows a date's time with thousandths of a second.
QString displayText(const xls::Value& value, bool date1904, bool milliseconds = false);

// Why the workbook at `path` could not be opened, in words for the user,
// from the engine's error code and system error number: a missing or
// unreadable file, a workbook of another format (an .xlsx or .ods file
// renamed to .xls is named as such, from the file's first bytes), an old
// Excel 5.0/95 workbook, an encrypted or signed one, a damaged file.
QString openFailureReason(const QString& path, const xls::XlsError& error);

// Why a save failed, in words for the user (read-only folder, disk full,
// file in use, ...), from the system error number behind it.
QString saveFailureReason(const xls::XlsError& error);

}  // namespace kestrune::sheet::embedded
