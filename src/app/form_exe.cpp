#include "app/form_exe.h"

#include "app/geometry.h"
#include "app/run_control.h"
#include "app/mqtt_publishing.h"
#include "app/run_progress.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QGridLayout>
#include <QPlainTextEdit>
#include <QProgressBar>
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
const QString CapChart = QStringLiteral("グラフ");

// The error label's colours: errors red, good news a dark green that reads
// well on the window's light background.
const QString ErrorColour = QStringLiteral("color: red");
const QString GoodNewsColour = QStringLiteral("color: #006400");

// Client area in twips. The short window keeps the error label in view; the
// tall one adds the log. Both grow where the font needs more room.
constexpr int ClientWidth = 7665;
constexpr int ShortHeight = 690;
constexpr int TallHeight = 5100;
constexpr int TickMs = 10;
constexpr int Gap = 4;  // pixels between the areas

// A label at least as tall as one line of its font: the design heights
// (240 twips, 16 pixels) cut off the larger Japanese fonts of a desktop.
void fitToFont(QLabel* label) {
  const int needed = label->fontMetrics().height() + 2;
  if (label->height() < needed) label->resize(label->width(), needed);
}

QLabel* label(const QString& text, const char* name, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  l->setObjectName(QLatin1String(name));
  return l;
}

// Left to right, each widget starts after the one before it and is at least
// as wide as its text; the last one ends at `end` (it gives up width).
void placeInRow(std::initializer_list<QWidget*> row, int end) {
  int next = 0;
  const QWidget* last = *(row.end() - 1);
  for (QWidget* w : row) {
    const int x = std::max(w->x(), next);
    const int width = w == last ? std::max(1, end - x) : std::max(w->width(), w->sizeHint().width());
    w->setGeometry(x, w->y(), width, w->height());
    next = x + width + 1;
  }
}

}  // namespace

FormExe::FormExe(RunController& controller, QWidget* parent) : QWidget(parent, Qt::Window), controller_(controller) {
  setObjectName(QStringLiteral("FormExe"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(CapWindow);

  checkLog_ = new QCheckBox(this);
  checkLog_->setObjectName(QStringLiteral("CheckLog"));
  checkLog_->setGeometry(twipsRect(*this, 135, 75, 285, 195));
  QLabel* label2 = label(CapLog, "Label2", this);
  label2->setGeometry(twipsRect(*this, 360, 90, 645, 240));
  QLabel* label1 = label(CapMessage, "Label1", this);
  label1->setGeometry(twipsRect(*this, 1125, 90, 1050, 240));
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
  labelErrorMess_->setStyleSheet(ErrorColour);
  txtTerm_ = new QPlainTextEdit(this);
  txtTerm_->setObjectName(QStringLiteral("txtTerm"));
  txtTerm_->setGeometry(twipsRect(*this, 90, 585, 7455, 4440));
  txtTerm_->setReadOnly(true);
  txtTerm_->setLineWrapMode(QPlainTextEdit::NoWrap);

  // The design places every control at a fixed spot for one font. Where the
  // desktop's font is larger, each row keeps its order but grows: controls
  // get the room their text needs, the message label gives up width, and
  // the rows below move down only as far as needed.
  const int right = twipsFor(*this, ClientWidth - 135);
  for (QLabel* l : findChildren<QLabel*>()) fitToFont(l);
  for (QWidget* w : std::initializer_list<QWidget*>{checkLog_, commandNext_, commandRsEnd_})
    w->resize(std::max(w->width(), w->sizeHint().width()), std::max(w->height(), w->sizeHint().height()));
  commandRsEnd_->move(std::min(commandRsEnd_->x(), right - commandRsEnd_->width()), commandRsEnd_->y());
  commandNext_->move(std::min(commandNext_->x(), commandRsEnd_->x() - Gap - commandNext_->width()), commandNext_->y());
  placeInRow({checkLog_, label2, label1, labelMess_}, commandNext_->x() - Gap);
  int rowBottom = 0;
  for (QWidget* w : std::initializer_list<QWidget*>{checkLog_, label2, label1, labelMess_, commandNext_, commandRsEnd_})
    rowBottom = std::max(rowBottom, w->geometry().bottom() + 1);
  for (QLabel* l : {labelSetumei_, labelErrorMess_})
    if (l->y() < rowBottom + Gap) l->move(l->x(), rowBottom + Gap);
  placeInRow({labelSetumei_, labelErrorMess_}, right);
  const int labelsBottom = std::max(labelSetumei_->geometry().bottom(), labelErrorMess_->geometry().bottom()) + 1;
  if (txtTerm_->y() < labelsBottom + Gap) txtTerm_->move(txtTerm_->x(), labelsBottom + Gap);
  shortHeight_ = std::max(twipsFor(*this, ShortHeight), labelsBottom + Gap);
  tallHeight_ = std::max(twipsFor(*this, TallHeight), txtTerm_->geometry().bottom() + 1 + Gap);

  // Progress below everything else: rows of the limit, time, rate, last row.
  frameProgress_ = new QWidget(this);
  frameProgress_->setObjectName(QStringLiteral("FrameProgress"));
  auto* grid = new QGridLayout(frameProgress_);
  grid->setContentsMargins(twipsFor(*this, 135), 0, twipsFor(*this, 135), Gap);
  progressBar_ = new QProgressBar(frameProgress_);
  progressBar_->setObjectName(QStringLiteral("ProgressRun"));
  progressBar_->setRange(0, 1000);
  progressBar_->setTextVisible(false);
  progressRows_ = label(QString(), "LabelProgressRows", frameProgress_);
  progressTime_ = label(QString(), "LabelProgressTime", frameProgress_);
  progressRate_ = label(QString(), "LabelProgressRate", frameProgress_);
  progressLastRow_ = label(QString(), "LabelLastRow", frameProgress_);
  progressLastRow_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  // The area keeps its size whatever it shows: one line per label, and a
  // long last row is cut at the window's edge rather than widening it.
  for (QLabel* l : {progressRows_, progressTime_, progressRate_, progressLastRow_})
    l->setMinimumHeight(l->fontMetrics().height() + 2);
  progressLastRow_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  setProgress(RunProgress{});
  progressHeight_ = frameProgress_->sizeHint().height();
  grid->addWidget(progressRows_, 0, 0);
  grid->addWidget(progressTime_, 0, 1);
  grid->addWidget(progressRate_, 0, 2, Qt::AlignRight);
  publishing_ = label(QString(), "LabelPublishing", frameProgress_);
  publishing_->setMinimumHeight(publishing_->fontMetrics().height() + 2);
  publishing_->hide();
  grid->addWidget(publishing_, 0, 3, Qt::AlignRight);
  commandChart_ = new QPushButton(CapChart, frameProgress_);
  commandChart_->setObjectName(QStringLiteral("CommandChart"));
  connect(commandChart_, &QPushButton::clicked, this, [this] {
    if (openChart_) openChart_();
  });
  grid->addWidget(commandChart_, 2, 3);
  grid->addWidget(progressBar_, 1, 0, 1, 3);
  grid->addWidget(progressLastRow_, 2, 0, 1, 3);

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
void FormExe::setError(const QString& text) {
  labelErrorMess_->setStyleSheet(ErrorColour);
  labelErrorMess_->setText(text);
}

void FormExe::setGoodNews(const QString& text) {
  labelErrorMess_->setStyleSheet(GoodNewsColour);
  labelErrorMess_->setText(text);
}

void FormExe::setNextVisible(bool visible, bool focus) {
  commandNext_->setVisible(visible);
  if (visible && focus) commandNext_->setFocus(Qt::OtherFocusReason);
}

void FormExe::setLogShown(bool shown) {
  checkLog_->setChecked(shown);
  labelSetumei_->setVisible(shown);
  txtTerm_->setVisible(shown);
  const int top = shown ? tallHeight_ : shortHeight_;
  // Measured again once the window is polished for its screen: before that
  // the fonts of some platforms are not yet those it will show.
  progressHeight_ = std::max(progressHeight_, frameProgress_->sizeHint().height());
  frameProgress_->setGeometry(0, top, twipsFor(*this, ClientWidth), progressHeight_);
  setFixedHeight(top + progressHeight_);
}

void FormExe::setProgress(const RunProgress& progress) {
  progressRows_->setText(rowsText(progress));
  progressTime_->setText(timeText(progress));
  progressRate_->setText(rateText(progress));
  progressLastRow_->setText(lastRowText(progress));
  const std::optional<int> share = progress.permille();
  // Without a limit there is nothing to fill: the bar stays, greyed.
  progressBar_->setEnabled(share.has_value());
  progressBar_->setValue(share.value_or(0));
  // The title carries the progress to the taskbar once the first row is in.
  setWindowTitle(progress.rowsDone > 0 ? CapWindow + QStringLiteral("　") + rowsText(progress) +
                                             (share ? QStringLiteral(" (%1%)").arg(*share / 10) : QString())
                                       : CapWindow);
}

void FormExe::setPublishing(const PublishingStatus& status) {
  const QString line = publishingLine(status);
  publishing_->setText(line);
  publishing_->setToolTip(status.connected ? QString() : status.problem);
  publishing_->setVisible(!line.isEmpty());
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

void FormExe::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  frameProgress_->ensurePolished();
  if (QLayout* grid = frameProgress_->layout()) grid->activate();
  setLogShown(checkLog_->isChecked());
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
