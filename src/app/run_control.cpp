#include "app/run_control.h"

#include "script/loader.h"
#include "serial/channels.h"
#include "settings/conditions_panel.h"

#include <QFileInfo>

namespace kestrune::app {

RunController::RunController(Logger& logger, RunHost& host)
    : logger_(logger),
      host_(host),
      interpreter_(script::RunContext{logger.script(), logger.reception(), logger.port(0), logger.workbook(),
                                      logger.setup(), logger.clock(), logger.boxes(), *this, logger.runFlag()}),
      publishing_(logger.folder()) {
  sheet::WorkbookConnection& workbook = logger_.workbook();
  // getStartCell lets pending window events run once the cursor is placed.
  QObject::connect(&workbook, &sheet::WorkbookConnection::eventsDue, &context_, [this] { host_.pumpEvents(); });
  QObject::connect(&workbook, &sheet::WorkbookConnection::accessLost, &context_, [this] { workbookLost(); });
  QObject::connect(&workbook, &sheet::WorkbookConnection::sheetFull, &context_, [this] { endAtSheetEnd(); });
  QObject::connect(&workbook, &sheet::WorkbookConnection::journalMoved, &context_,
                   [this](const QString& text) { termAppend(text); });
  QObject::connect(&workbook, &sheet::WorkbookConnection::journalLost, &context_,
                   [this](const QString& text) { endForLostJournal(text); });
}

RunController::~RunController() { logger_.clearErrorLabel(this); }

void RunController::CommandStart_Click() {
  startRefusedForSheet_ = !activeSheetTakesCells();
  if (startRefusedForSheet_) return;
  for (int channel = 0; channel < serial::ChannelsInUse; ++channel) {
    serial::Port& port = logger_.port(channel);
    if (!serial::openPort(port, logger_.boxes())) {
      // The number of the port that failed: the settings record's slot is only
      // refreshed at exit and would name the wrong port after a panel change.
      logger_.boxes().show(MsgChannelPrefix + QString::number(port.commPort()) + MsgChannelSuffix);
      return;
    }
  }
  script::initScript(logger_.script());
  if (logger_.setup().scriptFromFile() &&
      !script::loadScriptFile(logger_.script(), logger_.xlsFilePath(), logger_.boxes()))
    return;
  // A row past the sheet's last one is the workbook's to refuse; one below the
  // first is a setting nobody could have meant (setup.dat edited or damaged).
  if (logger_.setup().startAtCell() && logger_.setup().startRow < settings::MinStartRow) {
    logger_.boxes().show(MsgStartRowBelowFirst.arg(logger_.setup().startRow));
    return;
  }
  if (Status placed = logger_.workbook().getStartCell(); !placed) {
    logger_.boxes().show(placed.description());
    return;
  }
  sheetFull_ = false;
  journalLost_ = false;
  unpublished_.clear();
  rowsInWorkbook_.reset();
  rowsCompleted_ = 0;
  lostText_.clear();
  droppedShown_ = {};
  publishing_.beginRun(logger_.xlsFilePath(), activeSheetName());
  interpreter_.resetForStart(logger_.clock().tickMs());
  host_.hideMainWindow();
  Form_Load();
  // Another program that had the device open before us still reads from it;
  // a broker password file others may read.
  QStringList warnings;
  for (int channel = 0; channel < serial::ChannelsInUse; ++channel) warnings << logger_.port(channel).openWarning();
  warnings << publishing_.warning();
  for (const QString& warning : warnings) {
    if (warning.isEmpty()) continue;
    setErrorText(warning);
    termAppend(warning);
  }
  host_.showRunWindow();
  interpreter_.resetForStart(logger_.clock().tickMs());
  lastSaveTick_ = interpreter_.runStartTick();
  progress_ = RunProgress{};
  updateProgress(true);
  updatePublishing(true);
  host_.pumpEvents();
}

QString RunController::activeSheetName() {
  const sheet::WorkbookConnection& workbook = logger_.workbook();
  if (workbook.excelState() != sheet::ExcelState::Open || !workbook.application()) return {};
  const Result<sheet::ActiveSheetInfo> active = workbook.application()->activeSheetInfo();
  return active ? active->name : QString();
}

void RunController::updatePublishing(bool force) {
  const PublishingStatus status = publishing_.status();
  if (!force && status == publishingShown_) return;
  publishingShown_ = status;
  host_.showPublishing(status);
}

// Every write of a run goes into the active sheet; a sheet without cells
// would fail them all. The user picks a worksheet and starts again. When the
// application cannot say, the run goes ahead: its first write tells.
bool RunController::activeSheetTakesCells() {
  const sheet::WorkbookConnection& workbook = logger_.workbook();
  if (workbook.excelState() != sheet::ExcelState::Open || !workbook.application()) return true;
  const Result<sheet::ActiveSheetInfo> active = workbook.application()->activeSheetInfo();
  if (!active || active->holdsCells) return true;
  logger_.boxes().show(MsgSheetNotWorksheet.arg(active->name));
  return false;
}

void RunController::Form_Load() {
  logger_.runFlag().setActive(false);
  log_.clear();
  host_.loadRunWindow();
  runWindowLoaded_ = true;
  // The first tick only takes the reference time: the run is not active yet.
  // It lets no events run: a timer tick landing while the window is loaded
  // but the run not yet active would read as a run that has already ended.
  tick(false);
  logger_.runFlag().setActive(true);
  host_.setRunError(QString());
  logger_.setErrorLabel(this);
}

void RunController::Timer1_Timer() { tick(true); }

void RunController::tick(bool letEventsRun) {
  if (ticking_) return;  // ticks never nest
  ticking_ = true;
  const std::int32_t t1 = logger_.clock().tickMs();
  const std::int32_t t2 = logger_.clock().tickMs();
  interpreter_.countDown(std::max(elapsedMs(lastTick_, t2), 0));
  lastTick_ = t1;
  interpreter_.loopProg();
  if (runWindowLoaded_) {
    publishDurableRows(false);
    updatePublishing(false);
    updateDropped();
  }
  if (logger_.runActive()) {
    updateProgress(false);
    // The file on disk is brought up to date once a minute, off the tick.
    if (elapsedMs(lastSaveTick_, t1) >= SaveIntervalMs) {
      lastSaveTick_ = t1;
      logger_.workbook().saveInBackground();
    }
  }
  if (letEventsRun) host_.pumpEvents();
  ticking_ = false;
}

void RunController::CheckLog_Click(bool ticked) { host_.setLogShown(ticked); }

void RunController::CommandNext_Click() {
  interpreter_.resume();
  host_.setNextVisible(false, false);
  host_.setRunMessage(QString());
}

void RunController::CommandNext_KeyPress(int keyCode) {
  if (keyCode == 13) CommandNext_Click();
}

void RunController::CommandRsEnd_Click() {
  interpreter_.resume();
  host_.setNextVisible(false, false);
  Form_Unload();
}

void RunController::Form_Unload() {
  if (!runWindowLoaded_) return;
  runWindowLoaded_ = false;
  logger_.runFlag().setActive(false);
  // Closing the window by any means ends the run as End does: a pause left
  // behind would hold the next run's script at its first tick.
  interpreter_.resume();
  for (int channel = 0; channel < serial::ChannelsInUse; ++channel) serial::closePort(logger_.port(channel));
  logger_.clearErrorLabel(this);
  // A row SET has written counts and the cursor moves past it, as at EEE:
  // the next run must not write over it.
  interpreter_.finishWrittenRow();
  // Every row of the run is in the journal and on its way to the file.
  logger_.workbook().endRun();
  publishDurableRows(true);
  logger_.workbook().saveInBackground();
  host_.closeRunWindow();
  host_.showMainWindow();
}

void RunController::setMessage(const QString& text) { host_.setRunMessage(text); }

void RunController::showNextButton() { host_.setNextVisible(true, true); }

void RunController::termAppend(const QString& line) {
  log_.termAppend(line);
  host_.logAppended(line, log_.text());
}

void RunController::showAcquisitionNo(const QString& number) { host_.showAcquisitionNo(number); }

void RunController::pumpEvents() { host_.pumpEvents(); }

void RunController::rowCompleted(const std::vector<sheet::CellValue>& values) {
  // The acquisition number moves on after the row is done: it is still this
  // row's. With numbering on it is the row's first value; it is shown apart.
  const std::optional<std::int32_t> number =
      logger_.setup().numberingOn() ? std::optional<std::int32_t>(logger_.setup().acquisitionNo) : std::nullopt;
  QStringList shown;
  for (std::size_t i = number && !values.empty() ? 1 : 0; i < values.size(); ++i) shown << cellText(values[i]);
  progress_.lastValues = shown;
  progress_.lastNumber = number;
  ++rowsCompleted_;
  // cycleCount counts this row already: show it now, not a second later.
  updateProgress(true);
  host_.chartRow(progress_.elapsedMs, number, values);
  // The cursor is still on the row just written; it moves down after this.
  const sheet::WorkbookConnection& workbook = logger_.workbook();
  unpublished_.push_back({workbook.journalRows() + 1, logger_.setup().startRow, values});
  publishDurableRows(!workbook.journalOpen());
}

void RunController::publishDurableRows(bool all) {
  const int durable = logger_.workbook().journalDurableRows();
  while (!unpublished_.empty() && (all || unpublished_.front().journalRows <= durable)) {
    publishing_.rowCompleted(unpublished_.front().row, unpublished_.front().values);
    unpublished_.pop_front();
  }
}

// No journal can be written: acquiring stops rather than go on with rows a
// crash would lose. The rows so far stay in the workbook and are published.
void RunController::endForLostJournal(const QString& text) {
  if (!runWindowLoaded_ || journalLost_) return;
  journalLost_ = true;
  logger_.runFlag().setActive(false);
  publishDurableRows(true);
  progress_.ended = true;
  host_.showProgress(progress_);
  host_.setRunError(text);
  termAppend(text);
  logger_.boxes().show(text, MessageIcon::Warning);
}

// The application stopped taking values: the run goes on into the journal
// alone. The window says so for the rest of the run and no longer counts the
// rows as written.
void RunController::workbookLost() {
  logger_.boxes().show(sheet::MsgAccessLost);
  if (!runWindowLoaded_ || rowsInWorkbook_) return;
  // The row in progress did not reach the workbook either.
  rowsInWorkbook_ = rowsCompleted_;
  const sheet::WorkbookConnection& workbook = logger_.workbook();
  lostText_ = workbook.journalOpen() ? MsgRowsOnlyInJournal.arg(workbook.journalPath()) : MsgRowsNotKept;
  host_.setRunError(lostText_);
  updateProgress(true);
}

// What reception or a too long line had to drop stays in view with its
// count (the log has each notice; the window and standard error the sum).
void RunController::updateDropped() {
  const std::uint64_t lines = interpreter_.droppedLines().lines;
  const std::uint64_t fields = interpreter_.droppedFields();
  if (lines == droppedShown_.first && fields == droppedShown_.second) return;
  droppedShown_ = {lines, fields};
  setErrorText(MsgDropped.arg(lines).arg(fields));
}

void RunController::endAtSheetEnd() {
  if (!runWindowLoaded_ || sheetFull_) return;
  sheetFull_ = true;
  // Nothing more is taken that could not be written.
  logger_.runFlag().setActive(false);
  progress_.ended = true;
  host_.showProgress(progress_);
  const QString text = sheet::MsgSheetFull.arg(sheet::LastWorksheetRow);
  host_.setRunMessage(text);
  logger_.boxes().show(text);
}

void RunController::scriptFinished() {
  progress_.ended = true;
  updateProgress(true);
  host_.notifyRunFinished(progressLine(progress_));
}

void RunController::updateProgress(bool force) {
  RunProgress next = progress_;
  next.rowsDone = interpreter_.cycleCount();
  next.rowLimit = logger_.setup().measureCount;
  next.rowsInWorkbook = rowsInWorkbook_;
  next.timeLimitMs = logger_.setup().acquireTimeMs;
  next.elapsedMs = std::max(0, elapsedMs(interpreter_.runStartTick(), logger_.clock().tickMs()));
  const bool changed = next.rowsDone != progress_.rowsDone || next.elapsedMs / 1000 != progress_.elapsedMs / 1000;
  progress_ = next;
  if (force || changed) host_.showProgress(progress_);
}

void RunController::setErrorText(const QString& text) {
  // The workbook's loss stays in view: it concerns every row that follows.
  if (rowsInWorkbook_ && !lostText_.isEmpty())
    host_.setRunError(text.isEmpty() ? lostText_ : text + QLatin1Char('\n') + lostText_);
  else
    host_.setRunError(text);
}

void RunController::setGoodNewsText(const QString& text) { host_.setRunGoodNews(text); }

void RunController::logNotice(const QString& text) { termAppend(text); }

}  // namespace kestrune::app
