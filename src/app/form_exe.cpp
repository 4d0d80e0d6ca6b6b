#include "app/form_exe.h"

#include "app/geometry.h"
#include "app/acquisition_session.h"
#include "app/mqtt_publishing.h"
#include "app/run_progress.h"
#include "serial/elided_widgets.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>

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

// Client area in twips: the window opens this wide, and this tall with the
// log shown (less the progress area); both grow where the font needs more room.
constexpr int ClientWidth = 7665;
constexpr int TallHeight = 5100;
constexpr int Margin = 135;
constexpr int Gap = 4;  // pixels between the areas

QLabel* label(const QString& text, const char* name, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  l->setObjectName(QLatin1String(name));
  // At least one line of its font, empty or not.
  l->setMinimumHeight(l->fontMetrics().height() + 2);
  return l;
}

}  // namespace

FormExe::FormExe(AcquisitionSession& session, QWidget* parent) : QWidget(parent, Qt::Window), session_(session) {
  setObjectName(QStringLiteral("FormExe"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(CapWindow);

  // Top row: the log box, the message and the buttons. The message wraps
  // beside the buttons rather than running under them.
  checkLog_ = new QCheckBox(this);
  checkLog_->setObjectName(QStringLiteral("CheckLog"));
  QLabel* label2 = label(CapLog, "Label2", this);
  QLabel* label1 = label(CapMessage, "Label1", this);
  labelMess_ = label(QString(), "LabelMess", this);
  labelMess_->setStyleSheet(QStringLiteral("color: blue"));
  labelMess_->setWordWrap(true);
  labelMess_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  labelMess_->setMinimumWidth(twipsFor(*this, 1500));
  commandNext_ = new QPushButton(CapNext, this);
  commandNext_->setObjectName(QStringLiteral("CommandNext"));
  commandNext_->installEventFilter(this);
  commandRsEnd_ = new QPushButton(CapEnd, this);
  commandRsEnd_->setObjectName(QStringLiteral("CommandRsEnd"));
  commandRsEnd_->setAutoDefault(true);  // Enter ends, as Space does
  // The row keeps its place whether Next shows or not.
  QSizePolicy nextPolicy = commandNext_->sizePolicy();
  nextPolicy.setRetainSizeWhenHidden(true);
  commandNext_->setSizePolicy(nextPolicy);
  auto* top = new QHBoxLayout;
  top->setSpacing(Gap);
  top->addWidget(checkLog_);
  top->addWidget(label2);
  top->addSpacing(twipsFor(*this, 120));
  top->addWidget(label1);
  top->addWidget(labelMess_, 1);
  top->addWidget(commandNext_, 0, Qt::AlignTop);
  top->addWidget(commandRsEnd_, 0, Qt::AlignTop);

  labelSetumei_ = label(CapLegend, "LabelSetumei", this);
  labelErrorMess_ = label(QString(), "LabelErrorMess", this);
  labelErrorMess_->setStyleSheet(ErrorColour);
  labelErrorMess_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  auto* errors = new QHBoxLayout;
  errors->setSpacing(Gap);
  errors->addWidget(labelSetumei_);
  errors->addWidget(labelErrorMess_, 1);

  txtTerm_ = new QPlainTextEdit(this);
  txtTerm_->setObjectName(QStringLiteral("txtTerm"));
  txtTerm_->setReadOnly(true);
  txtTerm_->setLineWrapMode(QPlainTextEdit::NoWrap);

  // Progress below everything else: rows of the limit, time, rate, last row.
  frameProgress_ = new QWidget(this);
  frameProgress_->setObjectName(QStringLiteral("FrameProgress"));
  auto* grid = new QGridLayout(frameProgress_);
  grid->setContentsMargins(0, 0, 0, 0);
  progressBar_ = new QProgressBar(frameProgress_);
  progressBar_->setObjectName(QStringLiteral("ProgressRun"));
  progressBar_->setRange(0, 1000);
  progressBar_->setTextVisible(false);
  progressRows_ = label(QString(), "LabelProgressRows", frameProgress_);
  progressTime_ = label(QString(), "LabelProgressTime", frameProgress_);
  progressRate_ = label(QString(), "LabelProgressRate", frameProgress_);
  // A long last row ends in "…" before the グラフ button, whole in its tool tip.
  progressLastRow_ = new serial::ElidedLabel(Qt::ElideRight, frameProgress_);
  progressLastRow_->setObjectName(QStringLiteral("LabelLastRow"));
  progressLastRow_->setMinimumHeight(progressLastRow_->fontMetrics().height() + 2);
  progressLastRow_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  grid->addWidget(progressRows_, 0, 0);
  grid->addWidget(progressTime_, 0, 1);
  grid->addWidget(progressRate_, 0, 2, Qt::AlignRight);
  publishing_ = label(QString(), "LabelPublishing", frameProgress_);
  publishing_->hide();
  grid->addWidget(publishing_, 0, 3, Qt::AlignRight);
  // Each channel's state, with several instruments.
  channels_ = label(QString(), "LabelChannels", frameProgress_);
  channels_->hide();
  grid->addWidget(channels_, 1, 3, Qt::AlignRight);
  commandChart_ = new QPushButton(CapChart, frameProgress_);
  commandChart_->setObjectName(QStringLiteral("CommandChart"));
  commandChart_->setAutoDefault(true);
  connect(commandChart_, &QPushButton::clicked, this, [this] {
    if (openChart_) openChart_();
  });
  grid->addWidget(commandChart_, 2, 3);
  grid->addWidget(progressBar_, 1, 0, 1, 3);
  // With alarm rules: the alarms raised and the latest alarm line, red while any is raised.
  alarms_ = new serial::ElidedLabel(Qt::ElideRight, frameProgress_);
  alarms_->setObjectName(QStringLiteral("LabelAlarm"));
  alarms_->setMinimumHeight(alarms_->fontMetrics().height() + 2);
  alarms_->hide();
  grid->addWidget(alarms_, 3, 0, 1, 4);
  grid->addWidget(progressLastRow_, 2, 0, 1, 3);
  setProgress(RunProgress{});

  auto* layout = new QVBoxLayout(this);
  const int margin = twipsFor(*this, Margin);
  layout->setContentsMargins(margin, Gap, margin, Gap);
  layout->setSpacing(Gap);
  layout->addLayout(top);
  layout->addLayout(errors);
  // Only the log grows with the window.
  layout->addWidget(txtTerm_, 1);
  layout->addWidget(frameProgress_);

  connect(checkLog_, &QCheckBox::clicked, this, [this](bool ticked) { CheckLog_Click(ticked); });
  connect(commandNext_, &QPushButton::clicked, this, [this] { CommandNext_Click(); });
  connect(commandRsEnd_, &QPushButton::clicked, this, [this] { CommandRsEnd_Click(); });

  connect(&session_, &AcquisitionSession::scriptMessage, this, &FormExe::setMessage);
  connect(&session_, &AcquisitionSession::errorText, this, &FormExe::setError);
  connect(&session_, &AcquisitionSession::goodNews, this, &FormExe::setGoodNews);
  connect(&session_, &AcquisitionSession::nextWanted, this, [this](bool wanted) { setNextVisible(wanted, wanted); });
  connect(&session_, &AcquisitionSession::logAppended, this,
          [this](const QString&, const QString& text) { setLogText(text); });
  connect(&session_, &AcquisitionSession::progressChanged, this, &FormExe::setProgress);
  connect(&session_, &AcquisitionSession::publishingChanged, this, &FormExe::setPublishing);
  connect(&session_, &AcquisitionSession::alarmChanged, this,
          [this](const alarm::AlarmEvent&, const QString& line, int active) {
            lastAlarm_ = line;
            showAlarms(active);
          });

  commandNext_->hide();
  resize(twipsFor(*this, ClientWidth), height());
  setLogShown(false);
  placeTopCentre(*this);
}

// The run's tick: the session's own 10 ms timer drives it.
void FormExe::Timer1_Timer() { session_.tick(); }

void FormExe::CommandNext_Click() { session_.next(); }

void FormExe::CommandNext_KeyPress(int keyCode) {
  if (keyCode == 13) CommandNext_Click();
}

void FormExe::CommandRsEnd_Click() { session_.end(); }

void FormExe::Form_Unload() { session_.end(); }

void FormExe::setMessage(const QString& text) {
  labelMess_->setText(text);
  fitMessage();
}

// One line: a text longer than the window shows whole as the tool tip.
void FormExe::setError(const QString& text) {
  labelErrorMess_->setStyleSheet(ErrorColour);
  labelErrorMess_->setText(text);
  labelErrorMess_->setToolTip(text);
}

void FormExe::setGoodNews(const QString& text) {
  labelErrorMess_->setStyleSheet(GoodNewsColour);
  labelErrorMess_->setText(text);
  labelErrorMess_->setToolTip(text);
}

void FormExe::setNextVisible(bool visible, bool focus) {
  commandNext_->setVisible(visible);
  if (!visible || !focus) return;
  // The pause waits for this window: bring it forward with Next focused,
  // so Enter or Space goes on.
  if (!isActiveWindow()) {
    raise();
    activateWindow();
  }
  commandNext_->setFocus(Qt::OtherFocusReason);
}

void FormExe::setLogShown(bool shown) {
  checkLog_->setChecked(shown);
  labelSetumei_->setVisible(shown);
  txtTerm_->setVisible(shown);
  fitHeight(true);
}

void FormExe::fitMessage() {
  // A wrapped label does not tell the window's layout how tall it gets at
  // its width: ask it, and make room for every line (two at the least).
  const int lines = 2 * labelMess_->fontMetrics().lineSpacing() + 2;
  const int needed = std::max(lines, labelMess_->heightForWidth(labelMess_->width()));
  if (needed == labelMess_->minimumHeight()) return;
  labelMess_->setMinimumHeight(needed);
  fitHeight(false);
}

void FormExe::fitHeight(bool logToggled) {
  QLayout* content = layout();
  content->invalidate();
  content->activate();
  const int least = content->totalMinimumSize().height();
  if (!checkLog_->isChecked()) {
    // Without the log nothing can use more height.
    setMinimumHeight(least);
    setMaximumHeight(least);
    resize(width(), least);
    return;
  }
  setMinimumHeight(least);
  setMaximumHeight(QWIDGETSIZE_MAX);
  if (logToggled) {
    const int tall = twipsFor(*this, TallHeight) + frameProgress_->sizeHint().height();
    resize(width(), std::max(least, tall));
  }
}

void FormExe::setProgress(const RunProgress& progress) {
  progressRows_->setText(rowsText(progress));
  progressTime_->setText(timeText(progress));
  progressRate_->setText(rateText(progress));
  progressLastRow_->setFullText(lastRowText(progress));
  channels_->setText(channelsText(progress));
  channels_->setVisible(!progress.channels.empty());
  if (progress.alarms) showAlarms(*progress.alarms);
  alarms_->setVisible(progress.alarms.has_value());
  const std::optional<int> share = progress.permille();
  // Without a limit there is nothing to fill: the bar stays, greyed.
  progressBar_->setEnabled(share.has_value());
  progressBar_->setValue(share.value_or(0));
  // The title carries the progress to the taskbar once the first row is in.
  setWindowTitle(progress.rowsDone > 0 ? CapWindow + QStringLiteral("　") + rowsText(progress) +
                                             (share ? QStringLiteral(" (%1%)").arg(*share / 10) : QString())
                                       : CapWindow);
}

void FormExe::showAlarms(int active) {
  alarms_->setFullText(lastAlarm_.isEmpty() ? alarmsText(active)
                                            : alarmsText(active) + QStringLiteral("　") + lastAlarm_);
  alarms_->setStyleSheet(active > 0 ? ErrorColour : QString());
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
  close();
}

void FormExe::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // Measured again once the window is polished for its screen: before that
  // the fonts of some platforms are not yet those it will show.
  fitMessage();
  fitHeight(false);
}

void FormExe::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // A narrower message wraps into more lines.
  fitMessage();
}

void FormExe::closeEvent(QCloseEvent* event) {
  if (!closingFromController_) Form_Unload();
  event->accept();
}

bool FormExe::eventFilter(QObject* watched, QEvent* event) {
  if (watched == commandNext_ && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      CommandNext_KeyPress(13);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace kestrune::app
