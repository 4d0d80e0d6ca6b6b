#include "app/main_window_logic.h"

#include "app/setup_port.h"
#include "settings/setup_file.h"

namespace kestrune::app {

MainWindowLogic::MainWindowLogic(Logger& logger, MainView& view) : logger_(logger), view_(view) {
  using sheet::WorkbookConnection;
  WorkbookConnection* workbook = &logger_.workbook();
  QObject::connect(workbook, &WorkbookConnection::applicationAttached, &context_, [this](sheet::SpreadsheetApp* app) {
    QObject::connect(app, &sheet::SpreadsheetApp::workbookBeforeClose, &context_,
                     [this](const QString& book, bool* cancel) { xls_WorkbookBeforeClose(book, cancel); });
    QObject::connect(app, &sheet::SpreadsheetApp::sheetSelectionChange, &context_,
                     [this](const QString& sheetName, const sheet::CellRef& target) {
                       xls_SheetSelectionChange(sheetName, target);
                     });
  });
  QObject::connect(workbook, &WorkbookConnection::startColumnShown, &context_,
                   [this](const QString& letters) { showStartColumn(letters); });
  QObject::connect(workbook, &WorkbookConnection::startRowShown, &context_,
                   [this](const QString& row) { showStartRow(row); });
  QObject::connect(workbook, &WorkbookConnection::stateChanged, &context_, [this] { excelButtonSet(); });
  QObject::connect(workbook, &WorkbookConnection::workbookShown, &context_, [this] {
    // The wait is over before any message about recovered rows shows.
    view_.showApplicationStarting(false);
    view_.focusWindow();
  });
  QObject::connect(workbook, &WorkbookConnection::applicationStarting, &context_,
                   [this] { view_.showApplicationStarting(true); });
  QObject::connect(
      workbook, &WorkbookConnection::rowsRecovered, &context_,
      [this](int rows, int damagedLines, const QString& keptAs) { rowsRecovered(rows, damagedLines, keptAs); });
  QObject::connect(workbook, &WorkbookConnection::journalWarning, &context_,
                   [this](const QString& text) { logger_.boxes().show(text, MessageIcon::Warning); });
  QObject::connect(workbook, &WorkbookConnection::recoveryFailed, &context_, [this](const QString& reason) {
    logger_.boxes().show(sheet::MsgRecoveryFailed, MessageIcon::None, reason);
  });
}

void MainWindowLogic::programEntry() { logger_.reception().clearBuffers(); }

void MainWindowLogic::Form_Load() {
  TextFileName_Change();
  if (conditions_) conditions_->showDefaultMinutes();
  loadSetupAndPort(logger_.setup(), logger_.port(0), logger_.folder().readPath(settings::SetupFileName),
                   logger_.boxes());
  if (serialPanel_) serialPanel_->LoadPropertySettings();
  showMainPanel();
}

void MainWindowLogic::Form_Unload() {
  saveSettings();
  logger_.workbook().release();
}

void MainWindowLogic::showMainPanel() {
  view_.showPanel(Panel::Main);
  view_.setSettingsMenusEnabled(true);
  excelButtonSet();
}

void MainWindowLogic::MenuCond_Click() {
  view_.setSettingsMenusEnabled(false);
  view_.showPanel(Panel::Conditions);
  if (conditions_) conditions_->showCellConditions();
}

void MainWindowLogic::CommandCellOk_Click() {
  if (conditions_) conditions_->CommandCellOk();
  showMainPanel();
}

void MainWindowLogic::CommandRsOk_Click() {
  if (!serialPanel_ || serialPanel_->CommandRsOk()) showMainPanel();
}

void MainWindowLogic::MenuRS_Click() {
  view_.setSettingsMenusEnabled(false);
  view_.showPanel(Panel::Serial);
}

void MainWindowLogic::TextFileName_Change() {
  const QString text = view_.fileNameText();
  view_.setOpenVisible(text.trimmed().right(3).toUpper() == QLatin1String("XLS"));
  logger_.setXlsFilePath(text);
}

void MainWindowLogic::excelButtonSet() {
  const bool open = workbookOpen();
  view_.setOpenWorkbookControlsVisible(open);
  if (open)
    view_.setOpenVisible(false);
  else
    TextFileName_Change();
  view_.setFileChoiceEnabled(!open);
}

}  // namespace kestrune::app

namespace kestrune::app {

void MainWindowLogic::CommandFileSelect_Click() {
  const QString path = view_.askWorkbookPath();
  if (path.isEmpty()) return;
  view_.setFileNameText(path);  // runs TextFileName_Change
  logger_.setXlsFilePath(path);
}

void MainWindowLogic::CommandOpen_Click() {
  const Status opened = logger_.workbook().CommandOpen_Click(logger_.xlsFilePath());
  view_.showApplicationStarting(false);
  if (opened) {
    // The Open button has gone; the next step is Start.
    if (workbookOpen()) view_.focusStartButton();
    return;
  }
  // The workbook is open; its journal was for another file and is kept aside.
  if (opened.error().is(sheet::SheetError::JournalSetAside)) {
    if (workbookOpen()) view_.focusStartButton();
    logger_.boxes().show(opened.description(), MessageIcon::Warning);
  }
  // One box: the start message, and why as the application gave it.
  else if (opened.error().is(sheet::SheetError::NotFound))
    logger_.boxes().show(opened.description());
  else
    logger_.boxes().show(sheet::MsgCannotStart, MessageIcon::None, opened.description());
}

void MainWindowLogic::saveSettings() {
  saveSetupAndPort(logger_.setup(), logger_.port(0), logger_.folder().writePath(settings::SetupFileName),
                   logger_.boxes());
}

void MainWindowLogic::CommandClose_Click() {
  // The cursor after the last run is kept before the close retires the
  // journal that also holds it: a crash in between must not send the next
  // run over that run's rows.
  saveSettings();
  const Status closed = logger_.workbook().CommandClose_Click();
  rowsLeftInJournal_ = !closed;
  // Saved and closed, but some rows could only go into the journal.
  if (!closed && closed.error().is(sheet::SheetError::RowsNotWritten))
    logger_.boxes().show(closed.description(), MessageIcon::Warning);
  // The workbook stays open with its rows; the user learns why and where
  // the rows are kept.
  else if (!closed)
    logger_.boxes().show(sheet::MsgNotSaved, MessageIcon::Warning, closed.description());
}

void MainWindowLogic::rowsRecovered(int rows, int damagedLines, const QString& keptAs) {
  // The restored cursor and acquisition number are kept at once: a second
  // crash must not send the next run over the recovered rows.
  saveSettings();
  if (damagedLines > 0)
    logger_.boxes().show(sheet::recoveredText(rows, damagedLines, keptAs), MessageIcon::Warning);
  else if (rows > 0)
    logger_.boxes().show(sheet::MsgRecovered.arg(rows));
}

void MainWindowLogic::xls_WorkbookBeforeClose(const QString&, bool*) {}

void MainWindowLogic::xls_SheetSelectionChange(const QString&, const sheet::CellRef&) {}

void MainWindowLogic::showStartColumn(const QString& letters) {
  if (conditions_) conditions_->showStartCell(&letters, nullptr);
}

void MainWindowLogic::showStartRow(const QString& row) {
  if (conditions_) conditions_->showStartCell(nullptr, &row);
}

}  // namespace kestrune::app
