#include "app/acquisition_session.h"

#include "core/conf_text.h"
#include "core/cp932.h"
#include "core/run_options.h"
#include "core/trace.h"
#include "mqtt/mqtt_settings.h"
#include "script/loader.h"
#include "serial/termios_port.h"
#include "settings/setup_file.h"
#include "sheet/xls/value.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSysInfo>

namespace kestrune::app {

AcquiredValue typedValue(const QString& text) {
  if (text.isEmpty()) return {text, std::nullopt};
  const xls::Value typed = xls::parseTyped(text.toStdString());
  if (const auto* number = std::get_if<double>(&typed)) return {text, *number};
  return {text, std::nullopt};
}

QString alarmLine(const alarm::AlarmEvent& e) {
  const bool raised = e.state == alarm::AlarmState::Raised;
  const QString limit = e.limit ? alarm::numberText(*e.limit) : QString();
  QString rule;
  switch (e.kind) {
    case alarm::AlarmKind::High:
      rule = raised ? QStringLiteral("上限 %1 を超えています") : QStringLiteral("上限 %1 の内に戻りました");
      break;
    case alarm::AlarmKind::Low:
      rule = raised ? QStringLiteral("下限 %1 を下回っています") : QStringLiteral("下限 %1 の内に戻りました");
      break;
    case alarm::AlarmKind::Step:
      rule = raised ? QStringLiteral("変化幅 %1 を超えています") : QStringLiteral("変化幅 %1 の内に戻りました");
      break;
    case alarm::AlarmKind::NotNumber:
      rule = raised ? alarm::TextNotNumber : QStringLiteral("数値に戻りました");
      break;
    case alarm::AlarmKind::Silence:
      rule = raised ? QStringLiteral("%1 秒間 新しい行が来ません") : QStringLiteral("新しい行が来ました");
      break;
  }
  if (rule.contains(QLatin1String("%1"))) rule = rule.arg(limit);
  QString line = (raised ? QStringLiteral("アラーム ") : QStringLiteral("アラーム解除 ")) +
                 e.time.toString(QStringLiteral("H:mm:ss")) + QLatin1Char(' ');
  if (e.kind != alarm::AlarmKind::Silence) {
    const bool number = e.kind != alarm::AlarmKind::NotNumber || !raised;
    line += e.columnLetters + QStringLiteral("列 ") + (number ? e.value : QStringLiteral("「%1」").arg(e.value)) +
            QStringLiteral("：");
  }
  return line + rule;
}

QString clockStepLine(qint64 stepMs, const QDateTime& wallNow) {
  const qint64 size = stepMs < 0 ? -stepMs : stepMs;
  const QString seconds =
      QStringLiteral("%1.%2").arg(size / 1000).arg(static_cast<int>(size % 1000), 3, 10, QLatin1Char('0'));
  return (stepMs < 0 ? MsgClockBack : MsgClockForward)
      .arg(seconds, wallNow.toString(QStringLiteral("yyyy/MM/dd H:mm:ss.zzz")));
}

AcquisitionSession::AcquisitionSession(const serial::Channels::PortFactory& portFactory,
                                       settings::SettingsFolder folder, Clock& clock,
                                       sheet::SpreadsheetFactory spreadsheetFactory, QObject* parent)
    : QObject(parent),
      folder_(std::move(folder)),
      clock_(clock),
      channels_(portFactory),
      workbook_(settings_.conditions.cursor, std::move(spreadsheetFactory)),
      interpreter_(script::RunContext{script_, reception_, channels_, clock_, *this, runFlag_}),
      publishing_(folder_) {
  reception_.clearBuffers();
  for (int i = 0; i < serial::ChannelCount; ++i) {
    channelLabels_.push_back(std::make_unique<ChannelLabel>(*this, i));
    serial::Port& p = port(i);
    connect(&p, &serial::Port::onComm, this, [this, i] {
      reception_.onPortEvent(i, port(i), runFlag_.active(),
                             receiving_ ? channelLabels_[static_cast<std::size_t>(i)].get() : nullptr, clock_,
                             script_.endCode[static_cast<std::size_t>(i)]);
    });
  }
  timer_.setInterval(10);
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, [this] { tick(); });

  using sheet::WorkbookConnection;
  connect(&workbook_, &WorkbookConnection::accessLost, this, [this] { workbookLost(); });
  connect(&workbook_, &WorkbookConnection::sheetFull, this, [this] { endAtSheetEnd(); });
  connect(&workbook_, &WorkbookConnection::sheetNotAdded, this,
          [this](const QString& reason) { endAtSheetEnd(reason); });
  connect(&workbook_, &WorkbookConnection::sheetChanged, this, [this](const QString& name) { continueInSheet(name); });
  connect(&workbook_, &WorkbookConnection::journalMoved, this, [this](const QString& text) { termAppend(text); });
  connect(&workbook_, &WorkbookConnection::journalLost, this, [this](const QString& text) { endForLostJournal(text); });
  connect(&workbook_, &WorkbookConnection::journalWarning, this,
          [this](const QString& text) { say(text, MessageIcon::Warning); });
  connect(&workbook_, &WorkbookConnection::recoveryFailed, this,
          [this](const QString& reason) { say(sheet::MsgRecoveryFailed, MessageIcon::None, reason); });
  connect(&workbook_, &WorkbookConnection::rowsRecovered, this,
          [this](int rows, int damagedLines, const QString& keptAs) { rowsRecovered(rows, damagedLines, keptAs); });
  connect(&workbook_, &WorkbookConnection::startColumnShown, this, &AcquisitionSession::startColumnShown);
  connect(&workbook_, &WorkbookConnection::startRowShown, this, &AcquisitionSession::startRowShown);
}

AcquisitionSession::~AcquisitionSession() { timer_.stop(); }

// ---------------------------------------------------------------- settings

void AcquisitionSession::loadSettings() {
  const Result<settings::SetupLoad> loaded = settings::loadSetup(setupFile_, folder_.readPath(settings::SetupFileName));
  // What was read, in full or up to a damaged field, is what the program uses.
  settings_.conditions = setupFile_.conditions();
  if (!loaded) return showError(messages_, loaded.error());
  if (*loaded == settings::SetupLoad::Missing) return;
  // The other channels' slots, which earlier versions kept without reading:
  // one the port would refuse leaves its channel as far as it was read and
  // goes to the trace only, so such a file loads as quietly as it always did.
  for (int channel = 1; channel < serial::ChannelCount; ++channel) {
    settings::LineSettings line = lineSettings(channel);
    const QString where = QStringLiteral("setup.dat slot %1").arg(channel);
    traceFailure(where, settings::readStoredLine(setupFile_.storedLine(channel), line, channel));
    if (!(line == lineSettings(channel))) traceFailure(where, applyLineSettings(channel, line));
  }
  // Slot 0 goes to channel 0's port as far as the port takes it.
  settings::LineSettings line = settings_.lines[0];
  const Status read = settings::readStoredLine(setupFile_.storedLine(0), line);
  // The values read go to the port; a refused one and those after it do not.
  const Status applied = line == settings_.lines[0] ? Status() : applyLineSettings(0, line);
  if (!read || !applied) {
    traceFailure(QStringLiteral("setup.dat slot 0"), read ? applied : read);
    showError(messages_, fail(settings::SetupError::Unreadable, settings::MsgLoadFailed));
  }
}

void AcquisitionSession::saveSettings() {
  setupFile_.setConditions(settings_.conditions);
  setupFile_.setLine(0, settings_.lines[0]);
  // Another channel's slot is rewritten only when the channel no longer reads
  // from it as it is, so a slot the program cannot use stays as it was.
  for (int channel = 1; channel < serial::ChannelCount; ++channel) {
    settings::LineSettings stored = settings::defaultLines().at(static_cast<std::size_t>(channel));
    static_cast<void>(settings::readStoredLine(setupFile_.storedLine(channel), stored, channel));  // as loaded
    if (!(stored == lineSettings(channel))) setupFile_.setLine(channel, lineSettings(channel));
  }
  if (Status saved = settings::saveSetup(setupFile_, folder_.writePath(settings::SetupFileName)); !saved)
    showError(messages_, saved.error());
}

void AcquisitionSession::setConditions(const settings::Conditions& conditions, settings::Rewrite rewrite) {
  settings_.conditions = conditions;
  setupFile_.setConditions(conditions, rewrite);
}

const settings::LineSettings& AcquisitionSession::lineSettings(int channel) const {
  return settings_.lines.at(static_cast<std::size_t>(channel));
}

Status AcquisitionSession::applyLineSettings(int channel, const settings::LineSettings& line) {
  settings::LineSettings& kept = settings_.lines.at(static_cast<std::size_t>(channel));
  // A channel without a port keeps its values for when it gets one; its port
  // object is left as it is.
  if (channel > 0 && line.port == settings::NoPort) {
    kept = line;
    return {};
  }
  return settings::applyToPort(port(channel), line, kept);
}

void AcquisitionSession::setPortMap(const serial::PortMap& map) {
  portMap_ = map;
  for (int i = 0; i < serial::ChannelCount; ++i)
    if (auto* device = qobject_cast<serial::TermiosPort*>(&port(i))) device->setPortMap(map);
}

// ---------------------------------------------------------------- messages

void AcquisitionSession::Messages::show(const QString& text, MessageIcon icon, const QString& informative) {
  session_.say(text, icon, informative);
}

void AcquisitionSession::say(const QString& text, MessageIcon icon, const QString& informative) {
  if (ticking_) {
    // A modal box inside the tick would run the event loop under it: the
    // message waits until the tick has returned.
    if (deferred_.empty()) QMetaObject::invokeMethod(this, &AcquisitionSession::sayDeferred, Qt::QueuedConnection);
    deferred_.push_back({text, icon, informative});
    return;
  }
  sayDeferred();  // what a tick raised comes first
  emit message(text, icon, informative);
}

void AcquisitionSession::setState(RunState state) {
  if (state == state_) return;
  state_ = state;
  emit stateChanged(state);
}

void AcquisitionSession::sayDeferred() {
  std::vector<Message> pending;
  pending.swap(deferred_);
  for (const Message& m : pending) emit message(m.text, m.icon, m.informative);
}

// ---------------------------------------------------------------- workbook

bool AcquisitionSession::open() {
  const Status opened = workbook_.open(workbookPath_);
  repairRecord();
  if (opened) return true;
  // The workbook is open; its journal was for another file and is kept aside.
  if (opened.error().is(sheet::SheetError::JournalSetAside)) say(opened.description(), MessageIcon::Warning);
  // One box: the start message, and why as the application gave it.
  else if (opened.error().is(sheet::SheetError::NotFound))
    say(opened.description());
  else
    say(sheet::MsgCannotStart, MessageIcon::None, opened.description());
  return workbookOpen();
}

bool AcquisitionSession::close() {
  // The cursor after the last run is kept before the close retires the
  // journal that also holds it: a crash in between must not send the next
  // run over that run's rows.
  saveSettings();
  const Status closed = workbook_.close();
  rowsLeftInJournal_ = !closed;
  // Saved and closed, but some rows could only go into the journal.
  if (!closed && closed.error().is(sheet::SheetError::RowsNotWritten)) say(closed.description(), MessageIcon::Warning);
  // The workbook stays open with its rows; the user learns why and where
  // the rows are kept.
  else if (!closed)
    say(sheet::MsgNotSaved, MessageIcon::Warning, closed.description());
  return closed.ok();
}

void AcquisitionSession::release() { workbook_.release(); }

void AcquisitionSession::rowsRecovered(int rows, int damagedLines, const QString& keptAs) {
  // The record learns of the rows before the journal that holds them goes:
  // a crash in between finds them in the journal again.
  repairRecord();
  // The restored cursor and acquisition number are kept at once: a second
  // crash must not send the next run over the recovered rows.
  saveSettings();
  if (damagedLines > 0)
    say(sheet::recoveredText(rows, damagedLines, keptAs), MessageIcon::Warning);
  else if (rows > 0)
    say(sheet::MsgRecovered.arg(rows));
}

// ---------------------------------------------------------------- the run

bool AcquisitionSession::openChannel(int channel) {
  serial::Port& p = port(channel);
  if (Status opened = serial::openPort(p); !opened) {
    showError(messages_, opened.error());
    // The number of the port that failed: the settings record's slot is only
    // refreshed at exit and would name the wrong port after a panel change.
    say(MsgChannelPrefix + QString::number(p.commPort()) + MsgChannelSuffix);
    return false;
  }
  return true;
}

void AcquisitionSession::closeChannels() {
  for (int channel = 0; channel < serial::ChannelCount; ++channel) serial::closePort(port(channel));
}

bool AcquisitionSession::start() {
  startRefusedForSheet_ = !activeSheetTakesCells();
  if (startRefusedForSheet_ || runLoaded_) return false;
  if (!loadAlarms()) return false;
  if (const Result<RunOptions> options = run_options::readConf(folder_.readPath(mqtt::ConfFileName)); !options) {
    say(options.description());
    return false;
  } else {
    runOptions_ = *options;
  }
  // Channel 1 first, as a run of one instrument always did; the script names the others.
  if (!openChannel(0)) return false;
  script::initScript(script_);
  const settings::Conditions& conditions = settings_.conditions;
  if (conditions.scriptFromFile) {
    if (Status loaded = script::loadScriptFile(script_, workbookPath_); !loaded) {
      showError(messages_, loaded.error());
      return false;
    }
  }
  for (const int channel : script::channelsInUse(script_)) {
    if (channel == 0 || openChannel(channel)) continue;
    // No run with an instrument missing from the start: the channels opened go again.
    closeChannels();
    return false;
  }
  // A row past the sheet's last one is the workbook's to refuse; one below the
  // first is a setting nobody could have meant (setup.dat edited or damaged).
  if (conditions.startAtCell && conditions.cursor.row < settings::rangeOf(settings::Field::StartCell).low) {
    say(MsgStartRowBelowFirst.arg(conditions.cursor.row));
    return false;
  }
  if (Status placed =
          workbook_.getStartCell({conditions.startAtCell, conditions.numbering, runOptions_.continueFullSheet});
      !placed) {
    say(placed.description());
    return false;
  }
  sheetFull_ = false;
  journalLost_ = false;
  unpublished_.clear();
  rowsInWorkbook_.reset();
  rowsCompleted_ = 0;
  lostText_.clear();
  droppedShown_ = {};
  runSheet_ = activeSheetName();
  publishing_.beginRun(workbookPath_);
  if (runOptions_.record) beginRecord();
  loadRun();
  beginAlarms();
  // Another program that had the device open before us still reads from it;
  // a broker password file others may read.
  QStringList warnings;
  for (const int channel : script::channelsInUse(script_)) warnings << port(channel).openWarning();
  warnings << publishing_.warning();
  for (const QString& warning : warnings) {
    if (warning.isEmpty()) continue;
    setErrorText(warning);
    termAppend(warning);
  }
  interpreter_.resetForStart(clock_.tickMs(), runSettings());
  clockSteps_.reset(interpreter_.runStartTick(), clock_.now());
  lastSaveTick_ = interpreter_.runStartTick();
  progress_ = RunProgress{};
  updateProgress(true);
  updatePublishing(true);
  if (timer_.interval() > 0) timer_.start();
  return true;
}

// The run window's load: the log empty, the first tick only takes the
// reference time (the run is not active yet), then the run is on.
void AcquisitionSession::loadRun() {
  runFlag_.setActive(false);
  log_.clear();
  interpreter_.resetForStart(clock_.tickMs(), runSettings());
  runLoaded_ = true;
  emit runStarted();
  tick();
  runFlag_.setActive(true);
  setState(RunState::Running);
  emit errorText(QString());
  receiving_ = true;
}

bool AcquisitionSession::loadAlarms() {
  alarms_.reset();
  alarmHeaders_.clear();
  firstRow_ = 0;
  endForAlarm_ = false;
  endedByAlarm_ = false;
  Result<alarm::AlarmRules> rules = alarm::AlarmRules{};
  if (const Result<conf::Values> values = conf::readWorkbookConf(folder_.readPath(mqtt::ConfFileName), workbookPath_);
      !values)
    rules = values.error();
  else
    rules = alarm::parseRules(*values);
  if (!rules) {
    say(MsgAlarmRules, MessageIcon::Warning, rules.description());
    return false;
  }
  if (!rules->empty()) alarms_.emplace(std::move(*rules));
  return true;
}

namespace {

AcquiredRow journaledRow(const sheet::JournalRow& written) {
  // The journal's cells by column, a column it has none of an empty value.
  std::vector<sheet::JournalCell> cells = written.cells;
  std::sort(cells.begin(), cells.end(), [](const auto& a, const auto& b) { return a.column < b.column; });
  std::vector<sheet::CellValue> values;
  for (const sheet::JournalCell& cell : cells) {
    while (!values.empty() && std::ssize(values) < cell.column - cells.front().column) values.emplace_back(QString());
    values.push_back(cell.value);
  }
  AcquiredRow row = rowFromCells(values);
  row.sheet = written.sheet;
  row.row = written.row;
  row.firstColumn = cells.empty() ? 0 : cells.front().column;
  return row;
}

}  // namespace

void AcquisitionSession::beginAlarms() {
  const QString carried = workbook_.takeRecoveredAlarmState();
  const std::vector<sheet::JournalRow> untaken = workbook_.takeRecoveredAlarmRows();
  if (!alarms_) return;
  // None is raised twice, none is missed: the interrupted run's rows keep
  // their own sequence, after the last one its alarms took.
  if (!carried.isEmpty() && alarms_->restoreState(carried)) {
    std::uint64_t sequence = alarms_->lastSequence();
    for (const sheet::JournalRow& written : untaken) {
      AcquiredRow row = journaledRow(written);
      row.sequence = ++sequence;
      std::vector<alarm::AlarmEvent> events = alarms_->take(row, clock_.now());
      for (alarm::AlarmEvent& e : events) e.recovered = true;
      takeAlarms(events, &row);
    }
    alarms_->continueInNewRun();
  }
  // The journal knows from here on that the run has alarms, and their state.
  workbook_.noteAlarmState(alarms_->saveState());
}

QString AcquisitionSession::alarmHeader(int column) {
  // Before the run's first row (the rows of an interrupted run) its header
  // is not known yet.
  if (firstRow_ == 0) return {};
  const auto known = alarmHeaders_.find(column);
  if (known != alarmHeaders_.end()) return known->second;
  return alarmHeaders_[column] = headerText(firstRow_ - 1, column);
}

void AcquisitionSession::takeAlarms(const std::vector<alarm::AlarmEvent>& events, const AcquiredRow* row) {
  // Into the journal first, with the row: the marks and the alarms' state
  // after it, so that a crash neither loses a mark nor raises an alarm twice.
  for (const alarm::AlarmEvent& e : events)
    if (e.state == alarm::AlarmState::Raised && e.row > 0 && e.column > 0) workbook_.markCell(e.row, e.column, e.sheet);
  // What a new run needs of the state changes with an event, and with every
  // number of a step rule's column.
  const bool stepRules = std::any_of(alarms_->rules().columns.begin(), alarms_->rules().columns.end(),
                                     [](const alarm::ColumnRule& rule) { return rule.step.has_value(); });
  if (!events.empty() || stepRules) workbook_.noteAlarmState(alarms_->saveState());
  // In the journal's file before anyone is told: a crash after this raises none again.
  workbook_.releaseJournal();
  for (const alarm::AlarmEvent& e : events) {
    const bool raised = e.state == alarm::AlarmState::Raised;
    const QString line = alarmLine(e);
    termAppend(line);
    std::optional<double> number;
    if (row && e.column > 0) {
      const std::int64_t index = std::int64_t{e.column} - row->firstColumn - row->leadingCells();
      if (index >= 0 && index < static_cast<std::int64_t>(row->values.size()))
        number = row->values[static_cast<std::size_t>(index)].number;
    }
    publishing_.takeAlarm(e, e.column > 0 ? alarmHeader(e.column) : QString(), number);
    if (raised && e.endsRun) endForAlarm_ = true;
    emit alarmChanged(e, line, alarms_->activeCount());
  }
  if (!events.empty()) updateProgress(true);
}

QString AcquisitionSession::activeSheetName() {
  if (!workbookOpen() || !workbook_.application()) return {};
  const Result<sheet::ActiveSheetInfo> active = workbook_.application()->activeSheetInfo();
  return active ? active->name : QString();
}

QString AcquisitionSession::headerText(std::int32_t row, std::int32_t column) const {
  if (row < 1 || !workbookOpen() || !workbook_.application()) return {};
  const Result<QString> text = workbook_.application()->cellText(row, column);
  // Not being able to read it is the same as no header: the caller goes without.
  return text ? text.value() : QString();
}

// Every write of a run goes into the active sheet; a sheet without cells
// would fail them all. The user picks a worksheet and starts again. When the
// application cannot say, the run goes ahead: its first write tells.
bool AcquisitionSession::activeSheetTakesCells() {
  if (!workbookOpen() || !workbook_.application()) return true;
  const Result<sheet::ActiveSheetInfo> active = workbook_.application()->activeSheetInfo();
  if (!active || active->holdsCells) return true;
  say(MsgSheetNotWorksheet.arg(active->name));
  return false;
}

void AcquisitionSession::setTickInterval(int ms) {
  timer_.setInterval(std::max(ms, 0));
  if (ms <= 0) timer_.stop();
}

void AcquisitionSession::tick() {
  Q_ASSERT(!ticking_);  // nothing below runs the event loop
  ticking_ = true;
  const std::int32_t t1 = clock_.tickMs();
  const std::int32_t t2 = clock_.tickMs();
  interpreter_.countDown(std::max(elapsedMs(lastTick_, t2), 0));
  lastTick_ = t1;
  interpreter_.loopProg();
  if (alarms_ && runFlag_.active()) {
    if (const auto silence =
            alarms_->checkSilence(std::max(0, elapsedMs(interpreter_.runStartTick(), t1)), clock_.now()))
      takeAlarms({*silence}, nullptr);
  }
  if (endForAlarm_ && runLoaded_) {
    // Ended as End ends it, once this tick is over: the run window that
    // called the tick closes with the run.
    endForAlarm_ = false;
    endedByAlarm_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (runLoaded_) end();
        },
        Qt::QueuedConnection);
  }
  if (runLoaded_) {
    publishDurableRows(false);
    updatePublishing(false);
    updateDropped();
    updateChannels();
  }
  if (runFlag_.active()) {
    updateProgress(false);
    // The file on disk is brought up to date once a minute, off the tick.
    if (elapsedMs(lastSaveTick_, t1) >= SaveIntervalMs) {
      lastSaveTick_ = t1;
      workbook_.saveInBackground();
    }
  }
  ticking_ = false;
}

void AcquisitionSession::next() {
  interpreter_.resume();
  if (state_ == RunState::Paused) setState(RunState::Running);
  emit nextWanted(false);
  emit scriptMessage(QString());
}

void AcquisitionSession::end() {
  if (!runLoaded_) return;
  runLoaded_ = false;
  timer_.stop();
  runFlag_.setActive(false);
  // Ending by any means ends the run as End does: a pause left behind would
  // hold the next run's script at its first tick.
  interpreter_.resume();
  emit nextWanted(false);
  closeChannels();
  receiving_ = false;
  // A row SET has written counts and the cursor moves past it, as at EEE:
  // the next run must not write over it.
  interpreter_.finishWrittenRow();
  // Every row of the run is in the journal and on its way to the file.
  workbook_.endRun();
  if (record_.isOpen()) {
    recordFailed(record_.endRun(clock_.now()));
    recordFailed(record_.close());
  }
  publishDurableRows(true);
  workbook_.saveInBackground();
  setState(RunState::Idle);
  emit runEnded();
}

// ---------------------------------------------------------------- rows

void AcquisitionSession::writeValue(std::int16_t offset, const sheet::CellValue& value) {
  workbook_.excelDataSet(offset, value);
}

AcquiredRow rowFromCells(const std::vector<sheet::CellValue>& cells) {
  AcquiredRow row;
  for (const sheet::CellValue& cell : cells) {
    if (const auto* text = std::get_if<QString>(&cell))
      row.values.push_back(typedValue(*text));
    else if (const auto* number = std::get_if<std::int32_t>(&cell))
      row.number = *number;
    else
      row.stamp = std::get<sheet::Stamp>(cell);
  }
  return row;
}

AcquiredRow AcquisitionSession::buildRow(const std::vector<sheet::CellValue>& cells) const {
  AcquiredRow row = rowFromCells(cells);
  row.sequence = rowsCompleted_ + 1;
  row.sheet = runSheet_;
  row.row = workbook_.cursorRow();
  row.firstColumn = workbook_.cursorColumn();
  row.elapsedMs = std::max(0, elapsedMs(interpreter_.runStartTick(), clock_.tickMs()));
  return row;
}

script::RunSettings AcquisitionSession::runSettings() const {
  return script::RunSettings::from(settings_.conditions, runOptions_);
}

// A step is said before the row that noticed it goes out, so that whoever
// keeps both has the step first.
void AcquisitionSession::checkClockStep() {
  const QDateTime wall = clock_.now();
  const std::optional<std::int64_t> step = clockSteps_.check(clock_.tickMs(), wall);
  if (!step) return;
  termAppend(clockStepLine(*step, wall));
  noteClockStep(*step, wall);
  emit clockStepped(*step, wall);
}

void AcquisitionSession::rowCompleted(const std::vector<sheet::CellValue>& cells) {
  checkClockStep();
  const AcquiredRow row = buildRow(cells);
  ++rowsCompleted_;
  takeRow(row);
}

void AcquisitionSession::takeRow(const AcquiredRow& row) {
  // The workbook and its journal: the journal's row ends and the cursor
  // moves below it. The row's end, its marks and the alarms' state reach
  // the journal's file in one write.
  workbook_.holdJournal();
  workbook_.take(row);
  if (row.number) {
    settings_.conditions.cursor.acquisitionNo = nextAcquisitionNumber(*row.number);
    emit acquisitionNumberChanged(QString::number(settings_.conditions.cursor.acquisitionNo));
  }
  if (row.sequence == 1) firstRow_ = row.row;
  lastRowValues_ = static_cast<int>(row.values.size());
  if (alarms_) takeAlarms(alarms_->take(row, clock_.now()), &row);
  workbook_.releaseJournal();
  // The run record after the journal: a crash in between leaves the row in
  // the journal, and the next open adds it to the record.
  if (record_.isOpen()) recordFailed(record_.take(row));
  // MQTT, once the journal has the row on the disk.
  unpublished_.push_back({workbook_.journalRows(), row});
  publishDurableRows(!workbook_.journalOpen());
  for (RowConsumer* consumer : extraConsumers_) consumer->take(row);
  emit rowAcquired(row);
  // The progress line: the number is shown apart, the other cells in order.
  QStringList shown;
  if (row.stamp) shown << cellText(*row.stamp);
  for (const AcquiredValue& value : row.values) shown << value.text;
  progress_.lastValues = shown;
  progress_.lastNumber = row.number;
  // cycleCount counts this row already: show it now, not a second later.
  updateProgress(true);
}

void AcquisitionSession::publishDurableRows(bool all) {
  const int durable = workbook_.journalDurableRows();
  while (!unpublished_.empty() && (all || unpublished_.front().journalRows <= durable)) {
    publishing_.take(unpublished_.front().row);
    unpublished_.pop_front();
  }
}

// ---------------------------------------------------------------- the run record

void AcquisitionSession::repairRecord() {
  const std::vector<sheet::JournalRow> recovered = workbook_.takeRecoveredRows();
  const QString path = recordPath();
  if (!QFileInfo::exists(path)) return;
  recordFailed(record_.open(path, recovered, clock_.now()));
  recordFailed(record_.close());
}

void AcquisitionSession::beginRecord() {
  // Only a run with record=on writes it; what a run without it leaves is a
  // plain workbook.
  if (LogStatus opened = record_.open(recordPath(), {}, clock_.now()); !opened) return recordFailed(opened);
  recordFailed(record_.beginRun(recordHeader()));
}

QJsonObject AcquisitionSession::recordHeader() {
  const settings::Conditions& c = settings_.conditions;
  QByteArray scriptBytes = QByteArrayLiteral("built-in");
  QString scriptText = QStringLiteral("built-in");
  QString scriptFile = QStringLiteral("built-in");
  if (c.scriptFromFile) {
    scriptFile = script::scriptPathFor(workbookPath_);
    QFile file(scriptFile);
    // The script was read a moment ago; one that cannot be read now is recorded empty.
    scriptBytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    scriptText = cp932::toUnicode(
        cp932::decode(std::string_view(scriptBytes.constData(), static_cast<std::size_t>(scriptBytes.size()))));
  }
  QJsonArray lines;
  for (const int channel : script::channelsInUse(script_)) {
    const settings::LineSettings& line = lineSettings(channel);
    lines.append(QJsonObject{{QStringLiteral("channel"), channel + 1},
                             {QStringLiteral("port"), line.port},
                             {QStringLiteral("device"), portMap_.devicePath(line.port)},
                             {QStringLiteral("settings"), serial::settingsText(line.config)},
                             {QStringLiteral("flow"), static_cast<int>(line.flow)}});
  }
  QString user = qEnvironmentVariable("USER");
  if (user.isEmpty()) user = qEnvironmentVariable("LOGNAME");
  const QDateTime now = clock_.now();
  return QJsonObject{
      {QStringLiteral("version"), QCoreApplication::applicationVersion()},
      {QStringLiteral("host"), QSysInfo::machineHostName()},
      {QStringLiteral("user"), user},
      {QStringLiteral("workbook"), QFileInfo(workbookPath_).absoluteFilePath()},
      {QStringLiteral("sheet"), runSheet_},
      {QStringLiteral("first"), QJsonObject{{QStringLiteral("sheet"), runSheet_},
                                            {QStringLiteral("row"), workbook_.cursorRow()},
                                            {QStringLiteral("col"), workbook_.cursorColumn()}}},
      {QStringLiteral("start"), now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs)},
      {QStringLiteral("settings"),
       QJsonObject{{QStringLiteral("time-limit-ms"), c.acquireTimeMs},
                   {QStringLiteral("rows"), c.rows},
                   {QStringLiteral("start-at-cell"), c.startAtCell},
                   {QStringLiteral("start-cell"), c.cursor.column.trimmed() + QString::number(c.cursor.row)},
                   {QStringLiteral("numbering"), c.numbering},
                   {QStringLiteral("stamp"), static_cast<int>(c.stamp)},
                   {QStringLiteral("script-from-file"), c.scriptFromFile},
                   {QStringLiteral("stamp-precision"), run_options::settingValue(runOptions_, KeyStampPrecision)},
                   {QStringLiteral("full-sheet"), run_options::settingValue(runOptions_, KeyFullSheet)}}},
      {QStringLiteral("script"),
       QJsonObject{{QStringLiteral("file"), scriptFile},
                   {QStringLiteral("text"), scriptText},
                   {QStringLiteral("sha256"),
                    QString::fromLatin1(QCryptographicHash::hash(scriptBytes, QCryptographicHash::Sha256).toHex())}}},
      {QStringLiteral("lines"), lines}};
}

void AcquisitionSession::noteClockStep(qint64 stepMs, const QDateTime& wallNow) {
  if (record_.isOpen()) recordFailed(record_.noteClockStep(stepMs, wallNow));
}

void AcquisitionSession::recordFailed(const LogStatus& status) {
  if (status) return;
  const QString text = MsgRecordFailed.arg(status.error().path.isEmpty() ? recordPath() : status.error().path,
                                           status.error().description);
  termAppend(text);
  say(text, MessageIcon::Warning);
  // A record with a gap would prove nothing about the rows after it.
  static_cast<void>(record_.close());  // already failed: its own failure adds nothing
}

// ---------------------------------------------------------------- what the run window shows

void AcquisitionSession::setMessage(const QString& text) { emit scriptMessage(text); }

void AcquisitionSession::showNextButton() {
  setState(RunState::Paused);
  emit nextWanted(true);
}

// With several channels in use a line says which one it came from or went to.
QString AcquisitionSession::channelText(int channel, const QString& text) const {
  if (channel == script::NoChannel || interpreter_.channelsInUse().size() < 2) return text;
  return QStringLiteral("CH%1 ").arg(channel + 1) + text;
}

void AcquisitionSession::termAppend(const QString& line, int channel) { termAppend(channelText(channel, line)); }

void AcquisitionSession::termAppend(const QString& line) {
  log_.termAppend(line);
  emit logAppended(line, log_.text());
}

void AcquisitionSession::scriptFinished() {
  progress_.ended = true;
  updateProgress(true);
  emit scriptFinishedSummary(progressLine(progress_));
  say(script::MsgScriptFinished);
  setState(RunState::Stopped);
  emit acquiringStopped();
}

void AcquisitionSession::setErrorText(const QString& text) {
  // The workbook's loss stays in view: it concerns every row that follows.
  if (rowsInWorkbook_ && !lostText_.isEmpty())
    emit errorText(text.isEmpty() ? lostText_ : text + QLatin1Char('\n') + lostText_);
  else
    emit errorText(text);
}

void AcquisitionSession::setGoodNewsText(const QString& text) { emit goodNews(text); }

void AcquisitionSession::logNotice(const QString& text) { termAppend(text); }

void AcquisitionSession::updatePublishing(bool force) {
  const PublishingStatus status = publishing_.status();
  if (!force && status == publishingShown_) return;
  publishingShown_ = status;
  emit publishingChanged(status);
}

// What reception or a too long line had to drop stays in view with its
// count (the log has each notice; the window and standard error the sum).
void AcquisitionSession::updateDropped() {
  const std::uint64_t lines = interpreter_.droppedLines().lines;
  const std::uint64_t fields = interpreter_.droppedFields();
  if (lines == droppedShown_.first && fields == droppedShown_.second) return;
  droppedShown_ = {lines, fields};
  setErrorText(MsgDropped.arg(lines).arg(fields));
}

std::vector<RunProgress::Channel> AcquisitionSession::channelStates() {
  std::vector<RunProgress::Channel> states;
  if (interpreter_.channelsInUse().size() > 1)
    for (const int channel : interpreter_.channelsInUse()) states.push_back({channel, port(channel).deviceAbsent()});
  return states;
}

// A device lost or back shows while the run window is open, after the script too.
void AcquisitionSession::updateChannels() {
  std::vector<RunProgress::Channel> states = channelStates();
  if (states == progress_.channels) return;
  progress_.channels = std::move(states);
  emit progressChanged(progress_);
}

void AcquisitionSession::updateProgress(bool force) {
  RunProgress next = progress_;
  next.rowsDone = interpreter_.cycleCount();
  next.rowLimit = settings_.conditions.rows;
  next.rowsInWorkbook = rowsInWorkbook_;
  next.timeLimitMs = settings_.conditions.acquireTimeMs;
  next.elapsedMs = std::max(0, elapsedMs(interpreter_.runStartTick(), clock_.tickMs()));
  next.channels = channelStates();
  next.alarms = alarms_ ? std::optional(alarms_->activeCount()) : std::nullopt;
  const bool changed = next.rowsDone != progress_.rowsDone || next.elapsedMs / 1000 != progress_.elapsedMs / 1000 ||
                       next.channels != progress_.channels || next.alarms != progress_.alarms;
  progress_ = next;
  if (force || changed) emit progressChanged(progress_);
}

// ---------------------------------------------------------------- how a run stops early

// The run goes on in a new sheet: the rows after this one say so, and the
// progress line shows where they go.
void AcquisitionSession::continueInSheet(const QString& name) {
  runSheet_ = name;
  progress_.sheet = name;
  termAppend(MsgSheetContinued.arg(name));
  updateProgress(true);
}

void AcquisitionSession::endAtSheetEnd(const QString& reason) {
  if (!runLoaded_ || sheetFull_) return;
  sheetFull_ = true;
  // Nothing more is taken that could not be written.
  runFlag_.setActive(false);
  progress_.ended = true;
  emit progressChanged(progress_);
  const QString text = reason.isEmpty() ? sheet::MsgSheetFull.arg(sheet::LastWorksheetRow)
                                        : sheet::MsgSheetNotAdded.arg(sheet::LastWorksheetRow).arg(reason);
  emit scriptMessage(text);
  say(text);
  setState(RunState::Stopped);
  emit acquiringStopped();
}

// No journal can be written: acquiring stops rather than go on with rows a
// crash would lose. The rows so far stay in the workbook and are published.
void AcquisitionSession::endForLostJournal(const QString& text) {
  if (!runLoaded_ || journalLost_) return;
  journalLost_ = true;
  runFlag_.setActive(false);
  publishDurableRows(true);
  progress_.ended = true;
  emit progressChanged(progress_);
  emit errorText(text);
  termAppend(text);
  say(text, MessageIcon::Warning);
  setState(RunState::Stopped);
  emit acquiringStopped();
}

// The application stopped taking values: the run goes on into the journal
// alone. The window says so for the rest of the run and no longer counts the
// rows as written.
void AcquisitionSession::workbookLost() {
  say(sheet::MsgAccessLost);
  if (!runLoaded_ || rowsInWorkbook_) return;
  // The row in progress did not reach the workbook either.
  rowsInWorkbook_ = static_cast<std::int32_t>(rowsCompleted_);
  lostText_ = workbook_.journalOpen() ? MsgRowsOnlyInJournal.arg(workbook_.journalPath()) : MsgRowsNotKept;
  emit errorText(lostText_);
  updateProgress(true);
}

}  // namespace kestrune::app
