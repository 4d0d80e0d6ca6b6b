#include "app/main_window_logic.h"

#include "app/setup_port.h"
#include "settings/setup_file.h"

namespace kestrune::app {

MainWindowLogic::MainWindowLogic(Logger& logger, MainView& view) : logger_(logger), view_(view) {
  logger_.workbook.setCursorView(this);
  logger_.workbook.setAttachHandler([this](sheet::SpreadsheetApp& app) {
    QObject::connect(&app, &sheet::SpreadsheetApp::workbookBeforeClose, &app,
                     [this](const QString& workbook, bool* cancel) { xls_WorkbookBeforeClose(workbook, cancel); });
    QObject::connect(&app, &sheet::SpreadsheetApp::sheetSelectionChange, &app,
                     [this](const QString& sheetName, const sheet::CellRef& target) {
                       xls_SheetSelectionChange(sheetName, target);
                     });
  });
}

void MainWindowLogic::programEntry() { logger_.reception.clearBuffers(); }

void MainWindowLogic::Form_Load() {
  TextFileName_Change();
  if (conditions_) conditions_->showDefaultMinutes();
  loadSetupAndPort(logger_.setup, logger_.port(0), logger_.folder.readPath(settings::SetupFileName), logger_.boxes);
  if (serialPanel_) serialPanel_->LoadPropertySettings();
  showMainPanel();
}

void MainWindowLogic::Form_Unload() {
  saveSetupAndPort(logger_.setup, logger_.port(0), logger_.folder.writePath(settings::SetupFileName), logger_.boxes);
  logger_.workbook.release();
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
  logger_.xlsFilePath = text;
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
  logger_.xlsFilePath = path;
}

void MainWindowLogic::CommandOpen_Click() {
  logger_.workbook.CommandOpen_Click(
      logger_.xlsFilePath, [this] { excelButtonSet(); }, [this] { view_.focusWindow(); });
}

void MainWindowLogic::CommandClose_Click() {
  logger_.workbook.CommandClose_Click([this] { excelButtonSet(); });
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
