// Which spreadsheet application Open starts: the one place that decides.
#pragma once

#include "core/message_boxes.h"
#include "sheet/spreadsheet_app.h"

#include <QString>

namespace kestrune::app {

// `choice` is "embedded", "calc" or empty for the default: LibreOffice Calc
// where it is built in and installed, else the built-in application.
sheet::SpreadsheetFactory spreadsheetFactory(const QString& choice, MessageBoxes& boxes);

}  // namespace kestrune::app
