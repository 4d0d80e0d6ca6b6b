#include "app/form_exe.h"

#include "app/geometry.h"
#include "app/run_control.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>

namespace kestrune::app {

namespace {

const QString CapWindow = QStringLiteral("Kestrune（通信処理）");
const QString CapLog = QStringLiteral("通信ﾛｸﾞ");
const QString CapMessage = QStringLiteral("ﾒｯｾｰｼﾞ：");
const QString CapNext = QStringLiteral("次へ");
const QString CapEnd = QStringLiteral("終了");
const QString CapLegend = QStringLiteral("●：送信　○：受信");

// Client area in twips. The short window keeps the error label in view; the
// tall one adds the log.
constexpr int ClientWidth = 7665;
constexpr int ShortHeight = 690;
constexpr int TallHeight = 5100;
constexpr int TickMs = 10;

QLabel* label(const QString& text, const char* name, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  l->setObjectName(QLatin1String(name));
  return l;
}

}  // namespace

FormExe::FormExe(RunController& controller, QWidget* parent) : QWidget(parent, Qt::Window), controller_(controller) {
  setObjectName(QStringLiteral("FormExe"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(CapWindow);

  checkLog_ = new QCheckBox(this);
  checkLog_->setObjectName(QStringLiteral("CheckLog"));
  checkLog_->setGeometry(twipsRect(*this, 135, 75, 285, 195));
  label(CapLog, "Label2", this)->setGeometry(twipsRect(*this, 360, 90, 645, 240));
  label(CapMessage, "Label1", this)->setGeometry(twipsRect(*this, 1125, 90, 1050, 240));
  labelMess_ = label(QString(), "LabelMess", this);
  labelMess_->setGeometry(twipsRect(*this, 1845, 90, 4875, 240));
  labelMess_->setStyleSheet(QStringLiteral("color: blue"));
  commandNext_ = new QPushButton(CapNext, this);
  commandNext_->setObjectName(QStringLiteral("CommandNext"));
  commandNext_->setGeometry(twipsRect(*this, 6210, 0, 645, 330));
  commandNext_->installEventFilter(this);
  commandRsEnd_ = new QPushButton(CapEnd, this);
  commandRsEnd_->setObjectName(QStringLiteral("CommandRsEnd"));
  commandRsEnd_->setGeometry(twipsRect(*this, 6930, 0, 600, 330));
  labelSetumei_ = label(CapLegend, "LabelSetumei", this);
  labelSetumei_->setGeometry(twipsRect(*this, 135, 395, 1815, 240));
  labelErrorMess_ = label(QString(), "LabelErrorMess", this);
  labelErrorMess_->setGeometry(twipsRect(*this, 2115, 405, 5235, 240));
  labelErrorMess_->setStyleSheet(QStringLiteral("color: red"));
  txtTerm_ = new QPlainTextEdit(this);
  txtTerm_->setObjectName(QStringLiteral("txtTerm"));
  txtTerm_->setGeometry(twipsRect(*this, 90, 585, 7455, 4440));
  txtTerm_->setReadOnly(true);
  txtTerm_->setLineWrapMode(QPlainTextEdit::NoWrap);

  // Timer1 runs for the window's whole life.
  timer1_ = new QTimer(this);
  timer1_->setObjectName(QStringLiteral("Timer1"));
  timer1_->setInterval(TickMs);
  timer1_->setTimerType(Qt::PreciseTimer);
  connect(timer1_, &QTimer::timeout, this, [this] { controller_.Timer1_Timer(); });

  connect(checkLog_, &QCheckBox::clicked, this, [this](bool ticked) { controller_.CheckLog_Click(ticked); });
  connect(commandNext_, &QPushButton::clicked, this, [this] { controller_.CommandNext_Click(); });
  connect(commandRsEnd_, &QPushButton::clicked, this, [this] { controller_.CommandRsEnd_Click(); });

  commandNext_->hide();
  setLogShown(false);
  setFixedWidth(twipsFor(*this, ClientWidth));
  placeTopCentre(*this);
  timer1_->start();
}

void FormExe::setMessage(const QString& text) { labelMess_->setText(text); }
void FormExe::setError(const QString& text) { labelErrorMess_->setText(text); }

void FormExe::setNextVisible(bool visible, bool focus) {
  commandNext_->setVisible(visible);
  if (visible && focus) commandNext_->setFocus(Qt::OtherFocusReason);
}

void FormExe::setLogShown(bool shown) {
  checkLog_->setChecked(shown);
  labelSetumei_->setVisible(shown);
  txtTerm_->setVisible(shown);
  setFixedHeight(twipsFor(*this, shown ? TallHeight : ShortHeight));
}

void FormExe::setLogText(const QString& text) {
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  if (shown.endsWith(QLatin1Char('\n'))) shown.chop(1);
  txtTerm_->setPlainText(shown);
  txtTerm_->verticalScrollBar()->setValue(txtTerm_->verticalScrollBar()->maximum());
}

void FormExe::closeFromController() {
  closingFromController_ = true;
  timer1_->stop();
  close();
}

void FormExe::closeEvent(QCloseEvent* event) {
  timer1_->stop();
  if (!closingFromController_) controller_.Form_Unload();
  event->accept();
}

bool FormExe::eventFilter(QObject* watched, QEvent* event) {
  if (watched == commandNext_ && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      controller_.CommandNext_KeyPress(13);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace kestrune::app
