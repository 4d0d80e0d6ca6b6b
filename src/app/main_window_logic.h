// What the main window does, without widgets: start-up and exit, the panel
// switch, and the state of the workbook controls. FormMain forwards its events
// here and shows what this class asks of its MainView.
#pragma once

#include "app/acquisition_session.h"
#include "serial/serial_panel.h"
#include "settings/conditions_panel.h"

#include <QString>

namespace kestrune::app {

enum class Panel { Main, Conditions, Serial };

// The main window as the logic sees it.
class MainView {
public:
  virtual ~MainView() = default;
  virtual void showPanel(Panel panel) = 0;
  // MenuCond and MenuRS.
  virtual void setSettingsMenusEnabled(bool enabled) = 0;
  virtual QString fileNameText() const = 0;
  virtual void setOpenVisible(bool visible) = 0;
  // CommandClose, CommandStart and the lines around it shown, or hidden.
  virtual void setOpenWorkbookControlsVisible(bool visible) = 0;
  // TextFileName and CommandFileSelect.
  virtual void setFileChoiceEnabled(bool enabled) = 0;
  virtual void setFileNameText(const QString& text) = 0;
  // The open-file dialog for .xls files, starting in the current folder; an
  // empty result when cancelled.
  virtual QString askWorkbookPath() = 0;
  virtual void focusWindow() = 0;
  // The workbook opened: the Start button takes the keyboard focus.
  virtual void focusStartButton() {}
  // While the spreadsheet application starts (LibreOffice takes seconds):
  // a sign that the program is working, shown before Open blocks.
  virtual void showApplicationStarting(bool starting) { static_cast<void>(starting); }
};

class MainWindowLogic final {
public:
  MainWindowLogic(AcquisitionSession& session, MainView& view);

  // The two settings panels' logic; the window creates them with their widgets.
  void setPanels(settings::ConditionsPanel* conditions, serial::SerialPanel* serialPanel) {
    conditions_ = conditions;
    serialPanel_ = serialPanel;
  }

  // Clears the receive buffers (before the main window loads).
  void programEntry() { session_.reception().clearBuffers(); }
  // The load steps after the window is titled and placed: the workbook
  // controls, the settings file and its port values, the main panel.
  void Form_Load();
  // Writes the settings file.
  void Form_Unload();

  void showMainPanel();
  void MenuCond_Click();
  void MenuRS_Click();
  void CommandCellOk_Click();
  void CommandCellNg_Click() { showMainPanel(); }
  void CommandRsOk_Click();
  void CommandRsNg_Click() { showMainPanel(); }

  void TextFileName_Change();
  void excelButtonSet();
  // A workbook is open and writing is enabled (the Start button is shown).
  bool workbookOpen() const { return session_.workbookOpen(); }

  void CommandFileSelect_Click();
  // Open and close the workbook; a failure has been shown when they return
  // (workbookOpen() tells the outcome: a failed save keeps the workbook open).
  void CommandOpen_Click();
  void CommandClose_Click();
  // The last close left rows in the journal: the workbook could not be
  // saved, or it could not take them all.
  bool rowsLeftInJournal() const { return session_.rowsLeftInJournal(); }
  // The application's events: nothing is done about either.
  void xls_WorkbookBeforeClose(const QString& workbook, bool* cancel);
  void xls_SheetSelectionChange(const QString& sheet, const sheet::CellRef& target);

  // The cursor is shown in the conditions panel's start boxes.
  void showStartColumn(const QString& letters);
  void showStartRow(const QString& row);

private:
  AcquisitionSession& session_;
  MainView& view_;
  settings::ConditionsPanel* conditions_ = nullptr;
  serial::SerialPanel* serialPanel_ = nullptr;
  // Owns the connections to the workbook's signals: they end with this object.
  QObject context_;
};

}  // namespace kestrune::app
