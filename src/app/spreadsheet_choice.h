// Which spreadsheet application Open starts: the one place that decides.
#pragma once

#include "core/message_boxes.h"
#include "sheet/spreadsheet_app.h"

#include <QString>

namespace kestrune::app {

enum class SpreadsheetKind { Embedded, Calc };

// "embedded" or "calc" as asked; otherwise LibreOffice Calc where it is
// built in and installed, else the built-in application. Headless runs use the
// built-in application unless LibreOffice is asked for by name.
SpreadsheetKind chooseSpreadsheet(const QString& choice, bool headless);

// Starts the chosen application at each Open; LibreOffice runs hidden when headless.
sheet::SpreadsheetFactory spreadsheetFactory(SpreadsheetKind kind, bool headless, MessageBoxes& boxes);

}  // namespace kestrune::app
