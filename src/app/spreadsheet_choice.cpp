#include "app/spreadsheet_choice.h"

namespace kestrune::app {

sheet::SpreadsheetFactory spreadsheetFactory(const QString& choice, MessageBoxes&) {
  return [choice]() -> Result<std::unique_ptr<sheet::SpreadsheetApp>> {
    return fail(QStringLiteral("表計算アプリケーション「%1」は使用できません").arg(choice));
  };
}

}  // namespace kestrune::app
