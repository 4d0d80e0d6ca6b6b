// The main window: menu bar, the main panel with the workbook, run and
// settings groups, and the places of the two settings panels. It only shows;
// MainWindowLogic and the acquisition session decide. It opens the run
// window and the chart when the session starts a run.
#pragma once

#include "app/chart_window.h"
#include "app/form_exe.h"
#include "app/main_window_logic.h"
#include "app/web_view.h"
#include "app/acquisition_session.h"
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

class FormMain final : public QMainWindow, public MainView {
  Q_OBJECT
public:
  // `boxes` shows the session's messages and the windows' own.
  FormMain(AcquisitionSession& session, MessageBoxes& boxes, QWidget* parent = nullptr);
  ~FormMain() override;

  MainWindowLogic& logic() { return logic_; }
  AcquisitionSession& session() { return session_; }
  // CommandStart.
  void CommandStart_Click() { session_.start(); }
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

  // The chart of the current run; null before the first run.
  ChartWindow* chartWindow() const { return chart_; }
  // Starts the web view where kestrune.conf's http.listen says, or `serve`
  // (--serve) for this program run; a failure is told, the program goes on.
  void startWebView(const QString& serve = {});
  WebView& webView() { return web_; }

protected:
  void closeEvent(QCloseEvent* event) override;

private:
  void buildMenus();
  QWidget* buildMainPanel();

  // A run began: this window hides, the run window opens, the chart is cleared.
  void runStarted();
  void runEnded();
  // The alarm dialog needs a workbook path, the workbook open or not.
  void updateAlarmMenu();
  void openAlarmDialog();

  AcquisitionSession& session_;
  MessageBoxes& boxes_;
  MainWindowLogic logic_;
  QPointer<FormExe> formExe_;
  // Fed from the first row of each run, shown by the run window's グラフ.
  QPointer<ChartWindow> chart_;
  bool unloaded_ = false;
  QString applicationName_;
  bool waitCursorShown_ = false;

  QAction* menuCond_ = nullptr;
  QAction* menuRs_ = nullptr;
  QAction* menuMqtt_ = nullptr;
  QAction* menuAlarm_ = nullptr;
  QAction* menuWeb_ = nullptr;
  QAction* menuRecord_ = nullptr;
  // The read-only web view; listens while kestrune.conf (or --serve) says so.
  WebView web_{session_};
  QString serve_;
  bool settingsMenusEnabled_ = true;
  // kestrune.conf's read and write paths, for the MQTT dialog and the chart.
  std::pair<QString, QString> mqttConf_;
  // The workbook whose chart is shown: its chart choices are kept under it.
  QString chartWorkbook_;
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
