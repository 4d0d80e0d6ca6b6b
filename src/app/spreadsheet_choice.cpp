#include "app/spreadsheet_choice.h"

#include "app/calc_support.h"
#include "sheet/embedded/embedded_spreadsheet.h"

namespace kestrune::app {

SpreadsheetKind chooseSpreadsheet(const QString& choice, bool headless) {
  if (choice == QLatin1String("calc")) return SpreadsheetKind::Calc;
  if (choice == QLatin1String("embedded") || headless) return SpreadsheetKind::Embedded;
  return calcAvailable() ? SpreadsheetKind::Calc : SpreadsheetKind::Embedded;
}

namespace {

// The built-in application, whose failed saves (the user's own, those at
// close) are shown here as boxes of their own.
sheet::SpreadsheetFactory embeddedShowingFailedSaves(sheet::embedded::SaveQuestion askSave, MessageBoxes& boxes) {
  return [&boxes, factory = sheet::embedded::embeddedFactory(std::move(askSave))] {
    Result<std::unique_ptr<sheet::SpreadsheetApp>> created = factory();
    if (auto* embedded = created ? qobject_cast<sheet::embedded::EmbeddedSpreadsheet*>(created->get()) : nullptr)
      QObject::connect(embedded, &sheet::embedded::EmbeddedSpreadsheet::saveFailed, embedded,
                       [&boxes](const Error& error) { boxes.show(error.description, MessageIcon::Critical); });
    return created;
  };
}

}  // namespace

sheet::SpreadsheetFactory spreadsheetFactory(SpreadsheetKind kind, bool headless, MessageBoxes& boxes) {
  if (kind == SpreadsheetKind::Calc) return calcSpreadsheetFactory(headless);
  // Nobody can answer a question in a headless run: unsaved work is saved.
  if (headless)
    return embeddedShowingFailedSaves([](const QString&) { return sheet::embedded::SavePrompt::Save; }, boxes);
  return embeddedShowingFailedSaves({}, boxes);
}

}  // namespace kestrune::app
