#include "app/spreadsheet_choice.h"

#include "app/calc_support.h"
#include "sheet/embedded/embedded_spreadsheet.h"

namespace kestrune::app {

SpreadsheetKind chooseSpreadsheet(const QString& choice, bool headless) {
  if (choice == QLatin1String("calc")) return SpreadsheetKind::Calc;
  if (choice == QLatin1String("embedded") || headless) return SpreadsheetKind::Embedded;
  return calcAvailable() ? SpreadsheetKind::Calc : SpreadsheetKind::Embedded;
}

sheet::SpreadsheetFactory spreadsheetFactory(SpreadsheetKind kind, bool headless, MessageBoxes& boxes) {
  if (kind == SpreadsheetKind::Calc) return calcSpreadsheetFactory(headless);
  // Nobody can answer a question in a headless run: unsaved work is saved.
  if (headless)
    return sheet::embedded::embeddedFactory(boxes, [](const QString&) { return sheet::embedded::SavePrompt::Save; });
  return sheet::embedded::embeddedFactory(boxes);
}

}  // namespace kestrune::app
