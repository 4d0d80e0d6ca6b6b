#include "app/main_window_logic.h"

#include "settings/setup_file.h"

namespace kestrune::app {

void MainWindowLogic::programEntry() { logger_.reception.clearBuffers(); }

void MainWindowLogic::Form_Load() {
  TextFileName_Change();
  if (conditions_) conditions_->showDefaultMinutes();
  settings::loadSetup(logger_.setup, logger_.port(0), logger_.folder.readPath(settings::SetupFileName),
                      logger_.boxes);
  if (serialPanel_) serialPanel_->LoadPropertySettings();
  showMainPanel();
}

void MainWindowLogic::Form_Unload() {
  settings::saveSetup(logger_.setup, logger_.port(0), logger_.folder.writePath(settings::SetupFileName),
                      logger_.boxes);
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
  const bool open = logger_.excelState == -1;
  view_.setOpenWorkbookControlsVisible(open);
  if (open) view_.setOpenVisible(false);
  else TextFileName_Change();
  view_.setFileChoiceEnabled(!open);
}

}  // namespace kestrune::app
