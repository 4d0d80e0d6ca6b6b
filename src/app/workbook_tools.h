// Small workbook utilities of the command line: a new empty workbook, and the
// active sheet's cells as tab-separated text.
#pragma once

#include <QString>

#include "sheet/xls/value.h"

#include <cstdio>
#include <string>

namespace kestrune::app {

// Writes a new workbook with one empty sheet; returns 0 or prints why and
// returns 1. An existing path is refused unless `overwrite` is set and it is a
// file (a folder or a dangling link is never replaced).
int createWorkbook(const QString& path, bool overwrite = false);
// A number as --dump shows it: the text of QString::number(v, 'g', 15).
std::string numberText(double v);
// A date/time serial as --dump shows it ("yyyy/MM/dd", "H:mm:ss" or both, UTC).
std::string dateText(double serial, bool date1904, xls::DateKind kind);
// Prints the used rows of the active sheet, one line per row, cells separated by tabs.
int dumpWorkbook(const QString& path, std::FILE* out);

}  // namespace kestrune::app
