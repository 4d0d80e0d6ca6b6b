#include "app/main_window_logic.h"

namespace kestrune::app {

MainWindowLogic::MainWindowLogic(AcquisitionSession& session, MainView& view) : session_(session), view_(view) {
  using sheet::WorkbookConnection;
  WorkbookConnection* workbook = &session_.workbook();
  QObject::connect(workbook, &WorkbookConnection::applicationAttached, &context_, [this](sheet::SpreadsheetApp* app) {
    QObject::connect(app, &sheet::SpreadsheetApp::workbookBeforeClose, &context_,
                     [this](const QString& book, bool* cancel) { xls_WorkbookBeforeClose(book, cancel); });
    QObject::connect(app, &sheet::SpreadsheetApp::sheetSelectionChange, &context_,
                     [this](const QString& sheetName, const sheet::CellRef& target) {
                       xls_SheetSelectionChange(sheetName, target);
                     });
  });
  QObject::connect(&session_, &AcquisitionSession::startColumnShown, &context_,
                   [this](const QString& letters) { showStartColumn(letters); });
  QObject::connect(&session_, &AcquisitionSession::startRowShown, &context_,
                   [this](const QString& row) { showStartRow(row); });
  QObject::connect(workbook, &WorkbookConnection::stateChanged, &context_, [this] { excelButtonSet(); });
  QObject::connect(workbook, &WorkbookConnection::workbookShown, &context_, [this] {
    // The wait is over before any message about recovered rows shows.
    view_.showApplicationStarting(false);
    view_.focusWindow();
  });
  QObject::connect(workbook, &WorkbookConnection::applicationStarting, &context_,
                   [this] { view_.showApplicationStarting(true); });
}

void MainWindowLogic::Form_Load() {
  TextFileName_Change();
  if (conditions_) conditions_->showDefaultMinutes();
  session_.loadSettings();
  if (serialPanel_) serialPanel_->LoadPropertySettings();
  showMainPanel();
}

void MainWindowLogic::Form_Unload() {
  session_.saveSettings();
  session_.release();
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
  const Status applied = serialPanel_ ? serialPanel_->CommandRsOk() : Status();
  if (applied) return showMainPanel();
  session_.messages().show(applied.description(), MessageIcon::Warning, applied.error().detail);
}

void MainWindowLogic::MenuRS_Click() {
  view_.setSettingsMenusEnabled(false);
  view_.showPanel(Panel::Serial);
}

void MainWindowLogic::TextFileName_Change() {
  const QString text = view_.fileNameText();
  view_.setOpenVisible(text.trimmed().right(3).toUpper() == QLatin1String("XLS"));
  session_.setWorkbookPath(text);
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
  session_.setWorkbookPath(path);
}

void MainWindowLogic::CommandOpen_Click() {
  const bool opened = session_.open();
  view_.showApplicationStarting(false);
  // The Open button has gone; the next step is Start.
  if (opened) view_.focusStartButton();
}

void MainWindowLogic::CommandClose_Click() { session_.close(); }

void MainWindowLogic::xls_WorkbookBeforeClose(const QString&, bool*) {}

void MainWindowLogic::xls_SheetSelectionChange(const QString&, const sheet::CellRef&) {}

void MainWindowLogic::showStartColumn(const QString& letters) {
  if (conditions_) conditions_->showStartCell(&letters, nullptr);
}

void MainWindowLogic::showStartRow(const QString& row) {
  if (conditions_) conditions_->showStartCell(nullptr, &row);
}

}  // namespace kestrune::app
