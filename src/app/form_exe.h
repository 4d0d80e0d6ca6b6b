// The run window: the interpreter's message, the last communication error,
// Next and End, and the communication log. It only shows; RunController decides.
#pragma once

#include <QWidget>

#include <functional>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace kestrune::app {

class RunController;
struct RunProgress;
struct PublishingStatus;

class FormExe final : public QWidget {
  Q_OBJECT
public:
  explicit FormExe(RunController& controller, QWidget* parent = nullptr);

  void setMessage(const QString& text);
  // The error label: errors in red, good news (the device back) in dark green.
  void setError(const QString& text);
  void setGoodNews(const QString& text);
  void setNextVisible(bool visible, bool focus);
  void setLogShown(bool shown);
  void setLogText(const QString& text);
  // The progress area below the controls, and the window title.
  void setProgress(const RunProgress& progress);
  // Publishing to the MQTT broker, in the progress area beside the rate:
  // connected or not and the rows waiting; the reason of a failure as its
  // tool tip. Nothing is shown while publishing is off.
  void setPublishing(const PublishingStatus& status);
  // What the グラフ button does (shows the chart window).
  void setChartOpener(std::function<void()> open) { openChart_ = std::move(open); }
  // Closes without telling the controller again (it asked for the close).
  void closeFromController();

protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  RunController& controller_;
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
  QLabel* progressLastRow_ = nullptr;
  QLabel* publishing_ = nullptr;
  QPushButton* commandChart_ = nullptr;
  std::function<void()> openChart_;
  // Client heights in pixels without the progress area: the short window
  // ends below the error label, the tall one below the log.
  int shortHeight_ = 0;
  int tallHeight_ = 0;
  int progressHeight_ = 0;
  QTimer* timer1_ = nullptr;
  bool closingFromController_ = false;
};

}  // namespace kestrune::app
