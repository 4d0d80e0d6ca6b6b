// The main window: menu bar, the main panel with the workbook, run and
// settings groups, and the places of the two settings panels. It only shows;
// MainWindowLogic decides.
#pragma once

#include "app/chart_window.h"
#include "app/form_exe.h"
#include "app/main_window_logic.h"
#include "app/run_control.h"
#include "serial/serial_panel_widget.h"
#include "settings/conditions_panel_widget.h"

#include <QMainWindow>
#include <QPointer>

#include <array>

class QAction;
class QFrame;
class QLineEdit;
class QPushButton;
class QWidget;

namespace kestrune::app {

class FormMain final : public QMainWindow, public MainView, public RunHost {
  Q_OBJECT
public:
  explicit FormMain(Logger& logger, QWidget* parent = nullptr);
  // A run window still open goes first: its timer drives this window's controller.
  ~FormMain() override;

  MainWindowLogic& logic() { return logic_; }
  RunController& run() { return run_; }
  // The run window while it is loaded.
  FormExe* formExe() const { return formExe_; }
  // Titles, sizes and places the window and its panels, then runs the logic's load.
  void Form_Load();
  // Opens the workbook named in the file box and, only when it opened (as the
  // Start button is only there then), starts a run.
  void openAndStart();

  void showPanel(Panel panel) override;
  void setSettingsMenusEnabled(bool enabled) override;
  QString fileNameText() const override;
  void setOpenVisible(bool visible) override;
  void setOpenWorkbookControlsVisible(bool visible) override;
  void setFileChoiceEnabled(bool enabled) override;
  void setFileNameText(const QString& text) override;
  QString askWorkbookPath() override;
  void focusWindow() override;
  void focusStartButton() override;
  void showApplicationStarting(bool starting) override;
  // The application Open starts, as the wait at Open names it ("LibreOffice").
  void setApplicationName(const QString& name) { applicationName_ = name; }

  void hideMainWindow() override;
  void showMainWindow() override;
  void loadRunWindow() override;
  void showRunWindow() override;
  void closeRunWindow() override;
  void setRunMessage(const QString& text) override;
  void setRunError(const QString& text) override;
  void setRunGoodNews(const QString& text) override;
  void setNextVisible(bool visible, bool focus) override;
  void setLogShown(bool shown) override;
  void logAppended(const QString& line, const QString& text) override;
  void showAcquisitionNo(const QString& number) override;
  void pumpEvents() override;
  void showProgress(const RunProgress& progress) override;
  void showPublishing(const PublishingStatus& status) override;
  void notifyRunFinished(const QString& summary) override;
  void chartRow(std::int64_t elapsedMs, std::optional<std::int32_t> acquisitionNo,
                const std::vector<sheet::CellValue>& values) override;
  // The chart of the current run; null before the first run.
  ChartWindow* chartWindow() const { return chart_; }

protected:
  void closeEvent(QCloseEvent* event) override;

private:
  void buildMenus();
  QWidget* buildMainPanel();

  MessageBoxes& boxes_;
  MainWindowLogic logic_;
  RunController run_;
  QPointer<FormExe> formExe_;
  // Fed from the first row of each run, shown by the run window's グラフ.
  QPointer<ChartWindow> chart_;
  bool unloaded_ = false;
  QString applicationName_;
  bool waitCursorShown_ = false;

  QAction* menuCond_ = nullptr;
  QAction* menuRs_ = nullptr;
  QAction* menuMqtt_ = nullptr;
  // kestrune.conf's read and write paths, for the MQTT dialog.
  std::pair<QString, QString> mqttConf_;
  QWidget* frameMain_ = nullptr;
  settings::ConditionsPanelWidget* frameCell_ = nullptr;
  serial::SerialPanelWidget* frameRs_ = nullptr;
  QLineEdit* textFileName_ = nullptr;
  QPushButton* commandFileSelect_ = nullptr;
  QPushButton* commandStart_ = nullptr;
  QPushButton* commandOpen_ = nullptr;
  QPushButton* commandClose_ = nullptr;
  std::array<QFrame*, 4> line2_{};
};

}  // namespace kestrune::app
