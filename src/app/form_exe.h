// The run window: the interpreter's message, the last communication error,
// Next and End, and the communication log. It only shows; RunController decides.
#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace kestrune::app {

class RunController;

class FormExe final : public QWidget {
  Q_OBJECT
public:
  explicit FormExe(RunController& controller, QWidget* parent = nullptr);

  void setMessage(const QString& text);
  void setError(const QString& text);
  void setNextVisible(bool visible, bool focus);
  void setLogShown(bool shown);
  void setLogText(const QString& text);
  // Closes without telling the controller again (it asked for the close).
  void closeFromController();

protected:
  void closeEvent(QCloseEvent* event) override;
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
  QTimer* timer1_ = nullptr;
  bool closingFromController_ = false;
};

}  // namespace kestrune::app
