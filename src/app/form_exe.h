// The run window: the interpreter's message, the last communication error,
// Next and End, and the communication log. It shows what the acquisition
// session says; its handlers forward to the session.
#pragma once

#include <QWidget>

#include <functional>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace kestrune::serial {
class ElidedLabel;
}

namespace kestrune::app {

class AcquisitionSession;
struct RunProgress;
struct PublishingStatus;

class FormExe final : public QWidget {
  Q_OBJECT
public:
  explicit FormExe(AcquisitionSession& session, QWidget* parent = nullptr);

  // The window's events.
  void Timer1_Timer();
  void CheckLog_Click(bool ticked) { setLogShown(ticked); }
  void CommandNext_Click();
  void CommandNext_KeyPress(int keyCode);
  void CommandRsEnd_Click();
  void Form_Unload();

  void setMessage(const QString& text);
  // The error label: errors in red, good news (the device back) in dark green.
  void setError(const QString& text);
  void setGoodNews(const QString& text);
  void setNextVisible(bool visible, bool focus);
  void setLogShown(bool shown);
  void setLogText(const QString& text);
  // The progress area below the controls, and the window title.
  void setProgress(const RunProgress& progress);
  // The alarms raised and the latest alarm line.
  void showAlarms(int active);
  // Publishing to the MQTT broker, in the progress area beside the rate:
  // connected or not and the rows waiting; the reason of a failure as its
  // tool tip. Nothing is shown while publishing is off.
  void setPublishing(const PublishingStatus& status);
  // What the グラフ button does (shows the chart window).
  void setChartOpener(std::function<void()> open) { openChart_ = std::move(open); }
  // Closes without telling the session again (it asked for the close).
  void closeFromController();

protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  // The message label tall enough for all its lines at its width.
  void fitMessage();
  // The window's height limits: fixed to its content without the log; with
  // it, at least the content and free to grow (the log takes the growth).
  // `logToggled` also sizes the window to the design's tall height.
  void fitHeight(bool logToggled);

  AcquisitionSession& session_;
  QCheckBox* checkLog_ = nullptr;
  QLabel* labelMess_ = nullptr;
  QLabel* labelSetumei_ = nullptr;
  QLabel* labelErrorMess_ = nullptr;
  QPushButton* commandNext_ = nullptr;
  QPushButton* commandRsEnd_ = nullptr;
  QPlainTextEdit* txtTerm_ = nullptr;
  QWidget* frameProgress_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  QLabel* progressRows_ = nullptr;
  QLabel* progressTime_ = nullptr;
  QLabel* progressRate_ = nullptr;
  serial::ElidedLabel* progressLastRow_ = nullptr;
  QLabel* publishing_ = nullptr;
  QLabel* channels_ = nullptr;
  serial::ElidedLabel* alarms_ = nullptr;
  QString lastAlarm_;  // the latest alarm line of the run
  QPushButton* commandChart_ = nullptr;
  std::function<void()> openChart_;
  bool closingFromController_ = false;
};

}  // namespace kestrune::app
