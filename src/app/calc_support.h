// Whether this build drives LibreOffice Calc, and its factory. Two files
// implement it: calc_support.cpp where the backend is built, and
// calc_support_none.cpp where it is not.
#pragma once

#include "sheet/spreadsheet_app.h"

namespace kestrune::app {

// True when the backend is built in and soffice is installed.
bool calcAvailable();
// LibreOffice with a window, or hidden for headless runs.
sheet::SpreadsheetFactory calcSpreadsheetFactory(bool headless);

}  // namespace kestrune::app
