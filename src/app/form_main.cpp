#include "app/form_main.h"

#include "app/alarm_dialog.h"
#include "app/desktop_notification.h"
#include "app/form_exe.h"
#include "core/conf_text.h"
#include "core/shell.h"
#include "info/frm_splash.h"
#include "info/manual_link.h"
#include "serial/system_devices.h"
#include "app/geometry.h"
#include "app/mqtt_dialog.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>

namespace kestrune::app {

namespace {

// Captions of the main window.
const QString CapMenuFile = QStringLiteral("ﾌｧｲﾙ(&F)");
const QString CapMenuEnd = QStringLiteral("終了(&Q)");
const QString CapMenuSet = QStringLiteral("条件設定(&S)");
const QString CapMenuCond = QStringLiteral("データ取得条件");
const QString CapMenuRs = QStringLiteral("RS232C通信条件");
const QString CapMenuMqtt = QStringLiteral("MQTT送信");
const QString CapMenuAlarm = QStringLiteral("アラームの設定...");
const QString CapMenuWeb = QStringLiteral("Web表示の設定...");
const QString CapMenuRecord = QStringLiteral("記録の設定...");
const QString CapMenuHelp = QStringLiteral("ﾍﾙﾌﾟ(&H)");
const QString CapMenuDoc = QStringLiteral("ヘルプ");
const QString CapMenuLicense = QStringLiteral("このソフトについて");
const QString CapGroupFile = QStringLiteral("エクセルファイルの指定");
const QString CapFileSelect = QStringLiteral("ﾌｧｲﾙ選択");
const QString CapFileNote = QStringLiteral("データ保管用のエクセルファイルを選択します");
const QString CapGroupRun = QStringLiteral("処理");
const QString CapStart = QStringLiteral("　データ　取得開始");
const QString CapOpen = QStringLiteral("エクセルを開く");
const QString CapClose = QStringLiteral("エクセルを閉じる");
const QString CapRunNote = QStringLiteral("エクセルを開いたら「データ取得開始」ボタンで開始");
const QString CapGroupSettings = QStringLiteral("条件設定");
const QString CapRs = QStringLiteral("　RS232C　通信設定");
const QString CapCond = QStringLiteral("ﾃﾞｰﾀ取得　条件設定");
const QString CapSettingsNote = QStringLiteral("データ取得、通信条件を設定します");
const QString CapXlsFilter = QStringLiteral("xlsﾌｧｲﾙ(*.xls)");
const QString MsgApplicationStarting = QStringLiteral("表計算アプリケーションを起動しています…");
const QString MsgNamedApplicationStarting = QStringLiteral("%1 を起動しています…");

// Window geometry in twips.
constexpr int WindowWidth = 8580;
constexpr int WindowHeight = 4425;

QPushButton* button(const QString& caption, const char* name, QWidget* parent) {
  auto* b = new QPushButton(caption, parent);
  b->setObjectName(QLatin1String(name));
  // Enter presses the focused button, as Space does.
  b->setAutoDefault(true);
  return b;
}

QLabel* note(const QString& text, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  l->setWordWrap(true);
  return l;
}

}  // namespace

FormMain::FormMain(AcquisitionSession& session, MessageBoxes& boxes, QWidget* parent)
    : QMainWindow(parent),
      session_(session),
      boxes_(boxes),
      logic_(session, *this),
      mqttConf_(session.folder().readPath(mqtt::ConfFileName), session.folder().writePath(mqtt::ConfFileName)) {
  setObjectName(QStringLiteral("FormMain"));
  buildMenus();
  // Made now, so the window keeps its size when the first message shows.
  statusBar()->setObjectName(QStringLiteral("StatusBar"));
  auto* central = new QWidget(this);
  setCentralWidget(central);
  frameMain_ = buildMainPanel();
  frameMain_->setParent(central);
  frameCell_ = new settings::ConditionsPanelWidget(session, central);
  frameRs_ = new serial::SerialPanelWidget(
      session, session.portMap(),
      {session.folder().readPath(serial::PortMapFileName), session.folder().writePath(serial::PortMapFileName)},
      std::make_unique<serial::SystemDeviceSource>(), central);
  // The panel writes ports.conf at OK; the session keeps the map in use.
  connect(&frameRs_->logic(), &serial::SerialPanel::portMapChanged, this,
          [this](const serial::PortMap& map) { session_.setPortMap(map); });
  connect(&session_, &AcquisitionSession::message, this,
          [this](const QString& text, MessageIcon icon, const QString& informative) {
            boxes_.show(text, icon, informative);
          });
  connect(&session_, &AcquisitionSession::runStarted, this, &FormMain::runStarted);
  connect(&session_, &AcquisitionSession::runEnded, this, &FormMain::runEnded);
  connect(&session_, &AcquisitionSession::acquisitionNumberChanged, this,
          [this](const QString& number) { frameCell_->setText(settings::CondBox::CellNo, number); });
  connect(&session_, &AcquisitionSession::rowAcquired, this, [this](const AcquiredRow& row) {
    if (chart_) chart_->addRow(row);
  });
  // Alarms raised and cleared reach someone not watching the run window.
  connect(&session_, &AcquisitionSession::alarmChanged, this,
          [this](const alarm::AlarmEvent& event, const QString& line, int) {
            if (chart_) chart_->addAlarm(event);
            notifyDesktop(event.state == alarm::AlarmState::Raised ? QStringLiteral("Kestrune: アラーム")
                                                                   : QStringLiteral("Kestrune: アラーム解除"),
                          line);
          });
  connect(&session_, &AcquisitionSession::scriptFinishedSummary, this,
          [](const QString& summary) { notifyDesktop(QStringLiteral("Kestrune: データ取得が終わりました"), summary); });
  logic_.setPanels(&frameCell_->logic(), &frameRs_->logic());
  connect(frameCell_, &settings::ConditionsPanelWidget::okClicked, this, [this] { logic_.CommandCellOk_Click(); });
  connect(frameCell_, &settings::ConditionsPanelWidget::cancelClicked, this, [this] { logic_.CommandCellNg_Click(); });
  connect(frameRs_, &serial::SerialPanelWidget::okClicked, this, [this] { logic_.CommandRsOk_Click(); });
  connect(frameRs_, &serial::SerialPanelWidget::cancelClicked, this, [this] { logic_.CommandRsNg_Click(); });
  frameCell_->hide();
  frameRs_->hide();
  updateAlarmMenu();
}

void FormMain::startWebView(const QString& serve) {
  const Result<web::WebSettings> settings = webSettings(session_.folder(), serve);
  const Status started = settings ? web_.start(*settings) : Status(settings.error());
  if (!started) {
    boxes_.show(started.description(), MessageIcon::Warning);
    return;
  }
  if (web_.running()) statusBar()->showMessage(web_.description());
}

void FormMain::buildMenus() {
  QMenu* file = menuBar()->addMenu(CapMenuFile);
  file->setObjectName(QStringLiteral("MenuFile"));
  QAction* end = file->addAction(CapMenuEnd);
  end->setObjectName(QStringLiteral("MenuEnd"));
  end->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  connect(end, &QAction::triggered, this, &QWidget::close);

  QMenu* set = menuBar()->addMenu(CapMenuSet);
  set->setObjectName(QStringLiteral("MenuSet"));
  menuCond_ = set->addAction(CapMenuCond);
  menuCond_->setObjectName(QStringLiteral("MenuCond"));
  connect(menuCond_, &QAction::triggered, this, [this] { logic_.MenuCond_Click(); });
  menuRs_ = set->addAction(CapMenuRs);
  menuRs_->setObjectName(QStringLiteral("MenuRS"));
  connect(menuRs_, &QAction::triggered, this, [this] { logic_.MenuRS_Click(); });
  menuMqtt_ = set->addAction(CapMenuMqtt);
  menuMqtt_->setObjectName(QStringLiteral("MenuMqtt"));
  connect(menuMqtt_, &QAction::triggered, this, [this] {
    MqttDialog dialog(mqttConf_.first, mqttConf_.second, this);
    dialog.exec();
  });
  menuAlarm_ = set->addAction(CapMenuAlarm);
  menuAlarm_->setObjectName(QStringLiteral("MenuAlarm"));
  connect(menuAlarm_, &QAction::triggered, this, &FormMain::openAlarmDialog);
  menuWeb_ = set->addAction(CapMenuWeb);
  menuWeb_->setObjectName(QStringLiteral("MenuWeb"));
  connect(menuWeb_, &QAction::triggered, this, [this] {
    WebDialog dialog(mqttConf_.first, mqttConf_.second, this);
    // The settings saved take the place of --serve's.
    if (dialog.exec() == QDialog::Accepted) startWebView();
  });
  menuRecord_ = set->addAction(CapMenuRecord);
  menuRecord_->setObjectName(QStringLiteral("MenuRecord"));
  connect(menuRecord_, &QAction::triggered, this, [this] {
    RecordDialog dialog(mqttConf_.first, mqttConf_.second, this);
    dialog.exec();
  });

  QMenu* help = menuBar()->addMenu(CapMenuHelp);
  help->setObjectName(QStringLiteral("MenuHelp"));
  QAction* doc = help->addAction(CapMenuDoc);
  doc->setObjectName(QStringLiteral("MenuDoc"));
  connect(doc, &QAction::triggered, this, [this] {
    const Status opened = info::MenuDoc_Click(desktopShell(), QApplication::applicationDirPath());
    if (!opened) boxes_.show(info::MsgManualNotOpened, MessageIcon::Information, opened.description());
  });
  QAction* license = help->addAction(CapMenuLicense);
  license->setObjectName(QStringLiteral("MenuLicense"));
  connect(license, &QAction::triggered, this,
          [this] { info::MenuLicense_Click(this, desktopShell(), QApplication::applicationDirPath()); });
}

QWidget* FormMain::buildMainPanel() {
  auto* panel = new QWidget;
  panel->setObjectName(QStringLiteral("FrameMain"));
  auto* layout = new QVBoxLayout(panel);

  auto* fileGroup = new QGroupBox(CapGroupFile, panel);
  auto* fileLayout = new QGridLayout(fileGroup);
  textFileName_ = new QLineEdit(fileGroup);
  textFileName_->setObjectName(QStringLiteral("TextFileName"));
  connect(textFileName_, &QLineEdit::textChanged, this, [this] {
    logic_.TextFileName_Change();
    updateAlarmMenu();
  });
  commandFileSelect_ = button(CapFileSelect, "CommandFileSelect", fileGroup);
  fileLayout->addWidget(textFileName_, 0, 0);
  fileLayout->addWidget(commandFileSelect_, 0, 1);
  fileLayout->addWidget(note(CapFileNote, fileGroup), 1, 0, 1, 2);
  layout->addWidget(fileGroup);

  auto* lower = new QHBoxLayout;
  auto* runGroup = new QGroupBox(CapGroupRun, panel);
  auto* runLayout = new QGridLayout(runGroup);
  // Line2 0..3: four lines framing the Start button while a workbook is open.
  auto* startBox = new QGridLayout;
  startBox->setSpacing(2);
  commandStart_ = button(CapStart, "CommandStart", runGroup);
  commandStart_->setMinimumHeight(twipsFor(*this, 600));
  for (int i = 0; i < 4; ++i) {
    auto* line = new QFrame(runGroup);
    line->setObjectName(QStringLiteral("Line2_%1").arg(i));
    line->setFrameShape(i < 2 ? QFrame::HLine : QFrame::VLine);
    line->setFrameShadow(QFrame::Plain);
    line->setLineWidth(2);
    line2_[static_cast<std::size_t>(i)] = line;
  }
  startBox->addWidget(line2_[0], 0, 0, 1, 3);
  startBox->addWidget(line2_[2], 1, 0);
  startBox->addWidget(commandStart_, 1, 1);
  startBox->addWidget(line2_[3], 1, 2);
  startBox->addWidget(line2_[1], 2, 0, 1, 3);
  commandOpen_ = button(CapOpen, "CommandOpen", runGroup);
  commandClose_ = button(CapClose, "CommandClose", runGroup);
  connect(commandFileSelect_, &QPushButton::clicked, this, [this] { logic_.CommandFileSelect_Click(); });
  connect(commandOpen_, &QPushButton::clicked, this, [this] { logic_.CommandOpen_Click(); });
  connect(commandClose_, &QPushButton::clicked, this, [this] { logic_.CommandClose_Click(); });
  connect(commandStart_, &QPushButton::clicked, this, [this] { CommandStart_Click(); });
  // Hidden controls keep their place, so the panel does not jump when a workbook opens.
  for (QWidget* w : std::initializer_list<QWidget*>{commandStart_, commandOpen_, commandClose_, line2_[0], line2_[1],
                                                    line2_[2], line2_[3]}) {
    QSizePolicy policy = w->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    w->setSizePolicy(policy);
  }
  runLayout->addLayout(startBox, 0, 0, 2, 1);
  runLayout->addWidget(commandOpen_, 0, 1);
  runLayout->addWidget(commandClose_, 1, 1);
  runLayout->addWidget(note(CapRunNote, runGroup), 2, 0, 1, 2);
  runLayout->setColumnStretch(0, 1);
  runLayout->setColumnStretch(1, 1);
  lower->addWidget(runGroup, 3);

  auto* settingsGroup = new QGroupBox(CapGroupSettings, panel);
  auto* settingsLayout = new QVBoxLayout(settingsGroup);
  auto* commandRs = button(CapRs, "CommandRs", settingsGroup);
  auto* commandCond = button(CapCond, "CommandCond", settingsGroup);
  // The buttons run the menu items' handlers.
  connect(commandRs, &QPushButton::clicked, this, [this] { logic_.MenuRS_Click(); });
  connect(commandCond, &QPushButton::clicked, this, [this] { logic_.MenuCond_Click(); });
  settingsLayout->addWidget(commandRs);
  settingsLayout->addWidget(commandCond);
  settingsLayout->addWidget(note(CapSettingsNote, settingsGroup));
  lower->addWidget(settingsGroup, 2);
  layout->addLayout(lower);
  return panel;
}

void FormMain::openAndStart() {
  logic_.CommandOpen_Click();
  if (logic_.workbookOpen()) CommandStart_Click();
}

void FormMain::Form_Load() {
  setWindowTitle(ApplicationTitle);
  QApplication::setApplicationDisplayName(QString());
  resize(twipsFor(*this, WindowWidth), twipsFor(*this, WindowHeight));
  placeTopCentre(*this);
  frameMain_->setGeometry(twipsRect(*this, 0, 45, 8430, 3930));
  frameCell_->setGeometry(twipsRect(*this, 180, 180, 8070, 3660));
  frameRs_->setGeometry(twipsRect(*this, 180, 180, 8070, 3660));
  // Fonts differ between desktops: a panel grows where it needs more room,
  // and the window never gets smaller than what holds the panels whole.
  QSize needed(0, 0);
  for (QWidget* panel : {frameMain_, static_cast<QWidget*>(frameCell_), static_cast<QWidget*>(frameRs_)}) {
    panel->resize(panel->size().expandedTo(panel->minimumSizeHint()));
    needed = needed.expandedTo(QSize(panel->geometry().right() + 1, panel->geometry().bottom() + 1));
  }
  centralWidget()->setMinimumSize(needed);
  const QSize extra =
      needed - QSize(width(), height() - menuBar()->sizeHint().height() - statusBar()->sizeHint().height());
  if (extra.width() > 0 || extra.height() > 0) resize(size() + extra.expandedTo(QSize(0, 0)));
  logic_.Form_Load();
}

void FormMain::showPanel(Panel panel) {
  frameMain_->setVisible(panel == Panel::Main);
  frameCell_->setVisible(panel == Panel::Conditions);
  frameRs_->setVisible(panel == Panel::Serial);
}

void FormMain::setSettingsMenusEnabled(bool enabled) {
  menuCond_->setEnabled(enabled);
  menuRs_->setEnabled(enabled);
  menuMqtt_->setEnabled(enabled);
  menuRecord_->setEnabled(enabled);
  settingsMenusEnabled_ = enabled;
  updateAlarmMenu();
}

void FormMain::updateAlarmMenu() {
  if (menuAlarm_) menuAlarm_->setEnabled(settingsMenusEnabled_ && !session_.workbookPath().trimmed().isEmpty());
}

void FormMain::openAlarmDialog() {
  // The run's columns: from its first value column, as many as the last
  // run's rows held; headers from the row above where it started.
  const settings::Conditions& conditions = session_.conditions();
  const std::int32_t firstRow = session_.lastRunFirstRow() > 0 ? session_.lastRunFirstRow() : conditions.cursor.row;
  AlarmDialogSource source{
      .readPath = mqttConf_.first,
      .writePath = mqttConf_.second,
      .workbook = session_.workbookPath(),  // as Start reads it
      .firstColumn = firstValueColumn(conditions),
      .columnCount = session_.lastRowValueCount() > 0 ? session_.lastRowValueCount() : DefaultAlarmColumns,
      .header = [this, firstRow](int column) { return session_.headerText(firstRow - 1, column); },
      .runOn = session_.runLoaded(),
  };
  AlarmDialog dialog(std::move(source), this);
  dialog.exec();
}

QString FormMain::fileNameText() const { return textFileName_->text(); }

void FormMain::setOpenVisible(bool visible) { commandOpen_->setVisible(visible); }

void FormMain::setOpenWorkbookControlsVisible(bool visible) {
  commandClose_->setVisible(visible);
  commandStart_->setVisible(visible);
  for (QFrame* line : line2_) line->setVisible(visible);
}

void FormMain::setFileChoiceEnabled(bool enabled) {
  textFileName_->setEnabled(enabled);
  commandFileSelect_->setEnabled(enabled);
}

void FormMain::setFileNameText(const QString& text) { textFileName_->setText(text); }

QString FormMain::askWorkbookPath() {
  QFileDialog dialog(this, QString(), QDir::currentPath(), CapXlsFilter);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setDefaultSuffix(QStringLiteral("xls"));
  dialog.setOption(QFileDialog::ReadOnly, false);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return QDir::toNativeSeparators(dialog.selectedFiles().constFirst());
}

void FormMain::focusWindow() {
  raise();
  activateWindow();
}

void FormMain::focusStartButton() { commandStart_->setFocus(Qt::OtherFocusReason); }

void FormMain::showApplicationStarting(bool starting) {
  if (starting == waitCursorShown_) return;
  waitCursorShown_ = starting;
  if (!starting) {
    QApplication::restoreOverrideCursor();
    statusBar()->clearMessage();
    return;
  }
  QApplication::setOverrideCursor(Qt::WaitCursor);
  statusBar()->showMessage(applicationName_.isEmpty() ? MsgApplicationStarting
                                                      : MsgNamedApplicationStarting.arg(applicationName_));
  // The start blocks this thread: paint the text and the cursor first.
  statusBar()->repaint();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void FormMain::runStarted() {
  hide();
  if (formExe_) formExe_->closeFromController();
  formExe_ = new FormExe(session_);
  if (!chart_) {
    chart_ = new ChartWindow(boxes_);
    chart_->setHeaderSource([this](std::int32_t row, std::int32_t column) { return session_.headerText(row, column); });
    // The user's chart choices are kept per workbook. Losing one is no loss of
    // data: a file that cannot be read or written leaves the defaults.
    connect(chart_, &ChartWindow::prefsChanged, this, [this](const ChartPrefs& prefs) {
      static_cast<void>(conf::writeWorkbookConf(mqttConf_.first, mqttConf_.second, chartWorkbook_, prefs.toConf()));
    });
  }
  chart_->clear();  // each run is a chart of its own
  chartWorkbook_ = session_.workbookPath();
  const Result<conf::Values> chartConf = conf::readWorkbookConf(mqttConf_.first, chartWorkbook_);
  chart_->setPrefs(ChartPrefs::fromConf(chartConf ? chartConf.value() : conf::Values()));
  // The rules were read at Start, before the run began.
  const alarm::AlarmRules* rules = session_.alarmRules();
  chart_->setAlarmRules(rules ? *rules : alarm::AlarmRules{});
  formExe_->setChartOpener([this] {
    if (!chart_) return;
    chart_->show();
    chart_->raise();
    chart_->activateWindow();
  });
  formExe_->show();
  formExe_->raise();
  formExe_->activateWindow();
}

void FormMain::runEnded() {
  if (formExe_) formExe_->closeFromController();
  if (unloaded_) return;  // the program is ending
  show();
  raise();
  activateWindow();
}

FormMain::~FormMain() {
  delete formExe_.data();
  delete chart_.data();
}

void FormMain::closeEvent(QCloseEvent* event) {
  // Unloading the main window saves the settings and ends the program.
  if (!unloaded_) {
    unloaded_ = true;
    // A run still going ends as End ends it: its rows reach the journal.
    session_.end();
    logic_.Form_Unload();
  }
  event->accept();
  QApplication::quit();
}

}  // namespace kestrune::app
