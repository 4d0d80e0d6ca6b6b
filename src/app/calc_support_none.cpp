#include "app/calc_support.h"

#include "sheet/spreadsheet_app.h"

namespace kestrune::app {

bool calcAvailable() { return false; }

sheet::SpreadsheetFactory calcSpreadsheetFactory(bool) {
  return []() -> Result<std::unique_ptr<sheet::SpreadsheetApp>> {
    return fail(sheet::SheetError::CannotStart, QStringLiteral("この Kestrune は LibreOffice Calc に対応していません"));
  };
}

}  // namespace kestrune::app
