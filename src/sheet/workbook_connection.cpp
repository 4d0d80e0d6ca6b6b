#include "sheet/workbook_connection.h"

#include "core/trace.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <iterator>
#include <limits>

namespace kestrune::sheet {

namespace {

// The sheets a journal's runs went on in when their sheet was full.
QStringList continuedSheets(const std::vector<JournalRow>& rows) {
  QStringList sheets;
  for (const JournalRow& row : rows)
    if (!row.nextSheet.isEmpty()) sheets << row.nextSheet;
  return sheets;
}

}  // namespace

WorkbookConnection::WorkbookConnection(RunCursor& cursor, SpreadsheetFactory factory, QObject* parent)
    : QObject(parent), cursor_(cursor), factory_(std::move(factory)) {}

WorkbookConnection::~WorkbookConnection() = default;

Status WorkbookConnection::open(const QString& path) {
  // Only a file is a workbook: a folder or a named pipe of that name is not.
  if (!QFileInfo(path).isFile()) return fail(SheetError::NotFound, path + MsgNotFound);
  // An application that still answers is only brought forward.
  if (xls_ && xls_->setVisible(true) && xls_->setWindowStateNormal()) {
    emit stateChanged();
    return {};
  }
  xls_.reset();
  journal_.close();
  journalRefused_ = false;
  unwrittenFrom_ = -1;
  markUnwritten_ = false;
  journaledThrough_ = 0;
  emit applicationStarting();
  // Without a factory no application can start: that is a failed start, not a crash.
  Result<std::unique_ptr<SpreadsheetApp>> created =
      factory_ ? factory_()
               : Result<std::unique_ptr<SpreadsheetApp>>(
                     fail(SheetError::CannotStart, QStringLiteral("表計算アプリケーションがありません")));
  QString reason = created.description();
  if (created.ok() && created.value()) {
    xls_ = std::move(created).value();
    connect(xls_.get(), &SpreadsheetApp::backgroundSaveDone, this, &WorkbookConnection::onBackgroundSaveDone);
    connect(xls_.get(), &SpreadsheetApp::workbookSaved, this,
            [this] { journalSaved(journal_.rows(), journal_.marks()); });
    emit applicationAttached(xls_.get());
    Status shown = xls_->openWorkbook(path);
    if (shown) shown = xls_->setVisible(true);
    if (shown) shown = xls_->setWindowStateNormal();
    if (shown) {
      excelState_ = ExcelState::Open;
      path_ = path;
      emit workbookShown();
      const Status recovered = recover(path);
      emit stateChanged();
      return recovered;
    }
    reason = shown.description();
  }
  xls_.reset();
  excelState_ = ExcelState::NotOpen;
  emit stateChanged();
  return fail(SheetError::CannotStart, reason);
}

Status WorkbookConnection::close() {
  Status result;
  if (xls_) {
    beginSave();
    const Status saved = xls_->saveActiveWorkbook();
    if (!saved) saveFailed();
    if (!saved && saved.error().is(SheetError::NotSaved)) {
      // Nothing is let go: the application keeps what was written and the
      // journal keeps every row for the next open.
      journalFailed(journal_.flush());
      QString text = saved.description();
      if (!journal_.lostReason().isEmpty())
        text += QLatin1Char('\n') + journalHolds();
      else if (journal_.rows() > 0 || journal_.rowPending())
        text += QLatin1Char('\n') + MsgRowsKept.arg(journalPath());
      return fail(SheetError::NotSaved, text);
    }
    if (saved && (unwrittenFrom_ >= 0 || markUnwritten_) && journal_.isOpen()) {
      // Rows the application never took are not in the saved file: the
      // journal keeps them for the next open.
      journalFailed(journal_.flush());
      result = fail(SheetError::RowsNotWritten, MsgRowsNotWritten.arg(journalPath()));
      journal_.close();
      traceFailure(QStringLiteral("Close"), xls_->quit());
    } else if (saved) {
      traceFailure(QStringLiteral("journal"), journal_.retire());
      traceFailure(QStringLiteral("Close"), xls_->quit());
    } else {
      // The application no longer has the workbook (the user ended it): there
      // is nothing to save or quit. The journal stays for the next open.
      traceFailure(QStringLiteral("Close"), saved);
      journal_.close();
    }
  }
  xls_.reset();
  excelState_ = ExcelState::NotOpen;
  emit stateChanged();
  return result;
}

void WorkbookConnection::release() {
  // The application may save at its end (the built-in one asks). A journal
  // whose rows are all in the saved file has nothing to bring back; one with
  // rows the file lacks stays for the next open.
  if (xls_) {
    // The application may save at its end; a save it reports ends the one
    // begun here, otherwise the file is as it was.
    beginSave();
    xls_->release();
    saveFailed();
  }
  xls_.reset();
  // A row in progress has values in the journal only.
  if (journal_.allSaved())
    traceFailure(QStringLiteral("journal"), journal_.retire());
  else
    journal_.close();
}

QString WorkbookConnection::journalPath() const {
  return journal_.isOpen() ? journal_.path() : journalPathBeside(path_);
}

void WorkbookConnection::lostAccess() {
  excelState_ = ExcelState::NotOpen;
  emit accessLost();
}

void WorkbookConnection::journalFailed(const Status& status) {
  traceFailure(QStringLiteral("journal"), status);
  if (!journal_.movedBecause().isEmpty() && journal_.movedBecause() != journalMovedSaid_ && journal_.isOpen()) {
    journalMovedSaid_ = journal_.movedBecause();
    emit journalMoved(MsgJournalMoved.arg(journalMovedSaid_, journal_.path()));
  }
  if (!journal_.lostReason().isEmpty() && !journalLostSaid_) {
    journalLostSaid_ = true;
    emit journalLost(MsgJournalLost.arg(journal_.lostReason(), journalHolds()));
  }
}

QString WorkbookConnection::journalHolds() const {
  return journaledThrough_ > 0 ? MsgJournalHolds.arg(journal_.path()).arg(journaledThrough_) : MsgJournalHoldsNone;
}

void WorkbookConnection::beginSave() {
  // On the disk before the file changes: after a power cut during the save,
  // the journal still takes the file the save wrote. One sync per save
  // (once a minute during a run).
  if (!journal_.isOpen()) return;
  journalFailed(journal_.beginSave(QDateTime::currentMSecsSinceEpoch()));
  journalFailed(journal_.flush());
}

void WorkbookConnection::journalSaved(int rows, int marks) {
  if (!journal_.isOpen()) return;
  if (unwrittenFrom_ >= 0) rows = std::min(rows, unwrittenFrom_);
  if (markUnwritten_) marks = 0;
  if (rows > 0 || marks > 0) journalFailed(journal_.markSaved(rows, marks));
  const Result<WorkbookIdentity> identity = identifyWorkbook(path_);
  if (!identity) trace(QStringLiteral("journal"), identity.description());
  journalFailed(journal_.endSave(identity ? std::optional(*identity) : std::nullopt));
}

void WorkbookConnection::saveFailed() {
  if (journal_.isOpen()) journalFailed(journal_.endSave(std::nullopt));
}

Status WorkbookConnection::getStartCell(const RunStart& start) {
  numbering_ = start.numbering;
  widenedColumns_.clear();  // a new run looks at its stamp columns again
  sheetBegun_ = false;
  if (excelState_ != ExcelState::Open || !xls_) return {};
  if (start.atCursorCell) {
    if (cursor_.row > LastWorksheetRow || cursor_.row < 1)
      return fail(SheetError::SheetFull, MsgStartPastEnd.arg(cursor_.row).arg(LastWorksheetRow));
    const QString address = cursor_.column.trimmed() + QString::number(static_cast<qint64>(cursor_.row));
    if (!xls_->selectRange(address)) {
      excelState_ = ExcelState::NotOpen;
      return fail(SheetError::AccessLost, MsgAccessLost);
    }
  }
  const Result<CellRef> active = xls_->activeCell();
  if (!active || active->column > std::numeric_limits<std::int16_t>::max()) {
    excelState_ = ExcelState::NotOpen;
    return fail(SheetError::AccessLost, MsgAccessLost);
  }
  // The column letters are the 2nd and 3rd characters of "$B$12", less a "$".
  QString letters = absoluteAddress(*active).mid(1, 2);
  if (letters.size() == 2 && letters[1] == QLatin1Char('$')) letters.truncate(1);
  cursor_.columnNo = static_cast<std::int16_t>(active->column);
  cursor_.row = active->row;
  cursor_.column = letters;
  continueFullSheet_ = start.continueFullSheet;
  const Result<ActiveSheetInfo> sheet = xls_->activeSheetInfo();
  firstSheet_ = sheet_ = sheet ? sheet->name : QString();
  // A header is text right above the start cell near the sheet's top.
  headerRows_ = 0;
  if (start.atCursorCell && cursor_.row > 1 && cursor_.row - 1 <= MaxHeaderRows) {
    const Result<QString> above = xls_->cellText(cursor_.row - 1, cursor_.columnNo);
    if (above && !above->isEmpty()) headerRows_ = cursor_.row - 1;
  }
  emit startColumnShown(letters);
  emit startRowShown(QString::number(cursor_.row));
  if (!journalRefused_) {
    journalLostSaid_ = false;
    journalMovedSaid_.clear();
    // A run without its journal would lose every row to a crash: none starts.
    if (Status opened = journal_.open(path_); !opened) {
      traceFailure(QStringLiteral("journal"), opened);
      return fail(SheetError::CannotStart, MsgNoJournal.arg(opened.description()));
    }
  }
  emit eventsDue();
  return {};
}

void WorkbookConnection::take(const AcquiredRow& row) {
  if ((excelState_ != ExcelState::Open || !xls_) && !journal_.isOpen()) return;
  const bool full = cursor_.row >= LastWorksheetRow;
  // The application has the new sheet before the journal says the run goes
  // on there: a crash in between leaves the journal's row without end, and
  // the next run is told the sheet is full rather than write over it.
  switchedTo_ = full && continueFullSheet_ ? addContinuationSheet() : QString();
  if (journal_.isOpen()) {
    // Past the last row the cursor stays one below it, so that the next run
    // is told instead of writing over the last row.
    const std::int32_t next = !switchedTo_.isEmpty() ? headerRows_ + 1 : full ? LastWorksheetRow + 1 : cursor_.row + 1;
    const std::int32_t numberAfter = row.number ? nextAcquisitionNumber(*row.number) : cursor_.acquisitionNo;
    const Status ended = journal_.endRow(next, cursor_.columnNo, numberAfter, switchedTo_);
    if (!switchedTo_.isEmpty()) journal_.beginSheet(switchedTo_);
    if (ended) journaledThrough_ = cursor_.row;
    journalFailed(ended);
  }
  nextCellMove();
}

void WorkbookConnection::nextCellMove() {
  if ((excelState_ != ExcelState::Open || !xls_) && !journal_.isOpen()) return;
  if (!switchedTo_.isEmpty()) {
    sheet_ = std::exchange(switchedTo_, QString());
    cursor_.row = headerRows_ + 1;
    emit startRowShown(QString::number(cursor_.row));
    emit sheetChanged(sheet_);
    if (!xls_->selectCell(cursor_.row, cursor_.columnNo)) lostAccess();
    return;
  }
  const bool full = cursor_.row >= LastWorksheetRow;
  cursor_.row = full ? LastWorksheetRow + 1 : cursor_.row + 1;
  emit startRowShown(QString::number(cursor_.row));
  if (full) {
    emit sheetFull();
    return;
  }
  if (excelState_ == ExcelState::Open && xls_ && !xls_->selectCell(cursor_.row, cursor_.columnNo)) lostAccess();
}

void WorkbookConnection::excelDataSet(std::int16_t offsetColNo, const CellValue& value) {
  const bool open = excelState_ == ExcelState::Open && xls_;
  if (!open && !journal_.isOpen()) return;
  const int column = cursor_.columnNo + offsetColNo;
  if (column > std::numeric_limits<std::int16_t>::max() || column < std::numeric_limits<std::int16_t>::min()) {
    if (open) lostAccess();
    return;
  }
  // A value the application will not hold keeps its row out of every save mark.
  const auto notTaken = [this] {
    if (unwrittenFrom_ < 0 && journal_.isOpen()) unwrittenFrom_ = journal_.rows();
  };
  // The journal first: a value the application loses (or never saves) is
  // still there for the next open.
  if (journal_.isOpen()) {
    beginJournalSheet(open);
    // The number the row leaves behind is known now, in case it never ends.
    const std::int32_t numberAfter = numbering_ ? nextAcquisitionNumber(cursor_.acquisitionNo) : cursor_.acquisitionNo;
    journalFailed(journal_.cell(RowStart{cursor_.row, cursor_.columnNo, numberAfter}, column, value));
  }
  if (!open) return notTaken();
  if (!xls_->setCellValue(cursor_.row, column, value)) {
    notTaken();
    return lostAccess();
  }
  // Once per run, the first time a stamp goes into a column.
  if (const auto* stamp = std::get_if<Stamp>(&value); stamp && widenedColumns_.insert(column).second)
    widenStampColumn(column, *stamp);
}

void WorkbookConnection::beginJournalSheet(bool open) {
  if (sheetBegun_) return;
  const Result<ActiveSheetInfo> sheet = open ? xls_->activeSheetInfo() : Result<ActiveSheetInfo>(ActiveSheetInfo{});
  journal_.beginSheet(sheet ? sheet->name : QString());
  sheetBegun_ = true;
}

void WorkbookConnection::markCell(std::int32_t row, std::int32_t column, const QString& sheet) {
  const bool open = excelState_ == ExcelState::Open && xls_;
  if (!open && !journal_.isOpen()) return;
  if (row < 1 || row > LastWorksheetRow || column < 1 || column > std::numeric_limits<std::int16_t>::max()) {
    trace(QStringLiteral("mark"), QStringLiteral("outside the sheet: row %1, column %2").arg(row).arg(column));
    return;
  }
  // A row of the sheet the run has just left (its last row's alarms).
  const bool elsewhere = !sheet.isEmpty() && !sheet_.isEmpty() && sheet != sheet_;
  if (journal_.isOpen()) {
    beginJournalSheet(open);
    journalFailed(journal_.mark(row, column, elsewhere ? sheet : QString()));
  }
  if (open && elsewhere) {
    const bool marked = xls_->activateSheet(sheet) && xls_->markCell(row, column) && xls_->activateSheet(sheet_);
    if (marked) return;
  } else if (open && xls_->markCell(row, column)) {
    return;
  }
  markUnwritten_ = true;
  if (open) lostAccess();
}

QString WorkbookConnection::addContinuationSheet() {
  if (excelState_ != ExcelState::Open || !xls_) return {};
  const Result<QStringList> names = xls_->sheetNames();
  const std::optional<QString> name = names ? continuationSheetName(firstSheet_, *names) : std::nullopt;
  Status added = !names ? Status(names.error())
                 : name ? xls_->addSheet(*name, headerRows_)
                        : Status(fail(SheetError::SheetNotAdded, MsgNoSheetName));
  if (added) return *name;
  traceFailure(QStringLiteral("new sheet"), added);
  emit sheetNotAdded(added.description());
  return {};
}

Status WorkbookConnection::showSheet(const QString& name, std::int32_t headerRows, bool mayAdd) {
  const Result<QStringList> names = xls_->sheetNames();
  if (!names) return names.error();
  if (names->contains(name) || !mayAdd) return xls_->activateSheet(name);
  return xls_->addSheet(name, headerRows >= 1 && headerRows <= MaxHeaderRows ? headerRows : 0);
}

void WorkbookConnection::noteAlarmState(const QString& state) {
  if (journal_.isOpen()) journalFailed(journal_.alarmState(state));
}

void WorkbookConnection::releaseJournal() { journalFailed(journal_.release()); }

void WorkbookConnection::widenStampColumn(int column, const Stamp& stamp) {
  // A stamp column too narrow shows "###" (or a cut date). Failing to widen
  // it is no reason to stop writing.
  traceFailure(QStringLiteral("stamp column"),
               xls_->ensureColumnWidth(column, stampWidth(stamp.kind, stamp.milliseconds)));
}

void WorkbookConnection::endRun() {
  if (!journal_.isOpen()) return;
  // A row the run left unfinished is kept as it stands, the cursor on it.
  if (journal_.rowPending()) journalFailed(journal_.endRow(cursor_.row, cursor_.columnNo, cursor_.acquisitionNo));
  journalFailed(journal_.flush());
}

void WorkbookConnection::saveInBackground() {
  // One at a time: the mark in the journal must name the rows that save held.
  if (excelState_ != ExcelState::Open || !xls_ || savingRows_ >= 0) return;
  savingRows_ = journal_.rows();
  savingMarks_ = journal_.marks();
  if (xls_->savesInBackground()) beginSave();
  xls_->saveInBackground();
}

void WorkbookConnection::onBackgroundSaveDone(bool saved, const QString& reason) {
  const int rows = savingRows_;
  savingRows_ = -1;
  if (!saved) {
    trace(QStringLiteral("background save"), reason);
    saveFailed();
    return;
  }
  journalSaved(rows, savingMarks_);
}

QString recoveredText(int rows, int damagedLines, const QString& keptAs) {
  QString text = MsgRecovered.arg(rows);
  if (damagedLines > 0) text += MsgDamagedSkipped.arg(damagedLines).arg(keptAs);
  return text;
}

Status WorkbookConnection::recover(const QString& path) {
  // What an earlier workbook's recovery left is not this one's.
  recoveredAlarmState_.clear();
  recoveredAlarmRows_.clear();
  recoveredRows_.clear();
  const Result<FoundJournal> found = findJournal(path);
  if (!found) {
    emit recoveryFailed(found.description());
    return {};
  }
  if (!found->refused.isEmpty()) emit journalWarning(found->refused.join(QLatin1Char('\n')));
  if (found->path.isEmpty()) return {};
  const std::vector<JournalRow>& rows = found->contents.rows;
  const int damaged = found->contents.damagedLines;
  const std::vector<JournalMark>& marks = found->contents.marks;
  if (rows.empty() && marks.empty() && damaged == 0) {
    // A run killed before its first row: its alarms as they started.
    recoveredAlarmState_ = found->contents.alarmState;
    QFile::remove(found->path);
    return {};
  }
  // Rows written for another file (the workbook was replaced, or changed by
  // someone else) would land among that file's own cells: they are kept for
  // a deliberate replay instead.
  const Result<WorkbookIdentity> current = identifyWorkbook(path);
  if (!found->contents.fits(current ? std::optional(*current) : std::nullopt)) {
    const Result<QString> kept = setJournalAside(found->path, QDateTime::currentDateTime());
    if (kept) return fail(SheetError::JournalSetAside, MsgJournalSetAside.arg(found->path, *kept));
    journalRefused_ = true;
    return fail(SheetError::JournalSetAside, MsgJournalNotSetAside.arg(found->path, kept.description()));
  }
  // The alarms of the interrupted run, for the run that goes on after it.
  // A run with alarms leaves an "alarms" line at its start: the rows after
  // the last one are still to be taken by them.
  recoveredAlarmState_ = found->contents.alarmState;
  if (!recoveredAlarmState_.isEmpty())
    std::copy_if(rows.begin(), rows.end(), std::back_inserter(recoveredAlarmRows_),
                 [](const JournalRow& row) { return !row.alarmsTaken && !row.cells.empty(); });
  std::vector<JournalRow> unsaved;
  for (const JournalRow& row : rows)
    if (!row.saved) unsaved.push_back(row);
  // Every mark: a save of its row may have begun before it.
  Status written = writeJournalRows(unsaved, continuedSheets(rows));
  if (written) written = writeJournalMarks(marks);
  // The run had gone on in a new sheet: the next run starts there.
  if (written && !rows.empty() && !rows.back().nextSheet.isEmpty()) {
    if (rows.back().sheet != rows.back().nextSheet && !rows.back().sheet.isEmpty())
      traceFailure(QStringLiteral("recovery"), xls_->activateSheet(rows.back().sheet));
    written = showSheet(rows.back().nextSheet, rows.back().nextRow - 1);
  }
  if (!rows.empty()) {
    // The run continues where the interrupted one stood: below a row it
    // left without end.
    const JournalRow& last = rows.back();
    cursor_.row = last.nextRow;
    cursor_.columnNo = static_cast<std::int16_t>(last.nextColumn);
    const QString letters = columnLetters(last.nextColumn);
    cursor_.column = letters;
    cursor_.acquisitionNo = last.acquisitionNo;
    if (last.nextRow <= LastWorksheetRow)
      traceFailure(QStringLiteral("recovery"), xls_->selectCell(last.nextRow, last.nextColumn));
    emit startColumnShown(letters);
    emit startRowShown(QString::number(cursor_.row));
  }
  if (!written) {
    // The rows cannot go into this workbook (a sheet gone, a column past the
    // last): the journal is kept under its own name for a deliberate replay,
    // and the next run starts below the rows it holds, never over them.
    const Result<QString> kept = setJournalAside(found->path, QDateTime::currentDateTime(), JournalAside::Unwritten);
    if (kept) {
      emit rowsRecovered(0, 0, QString());
      emit recoveryFailed(MsgJournalNotReplayed.arg(written.description(), *kept));
    } else {
      // Left in place, the journal keeps every row: none of it counts as saved.
      unwrittenFrom_ = 0;
      emit rowsRecovered(0, 0, QString());
      emit recoveryFailed(written.description() + QLatin1Char('\n') + MsgRowsKept.arg(found->path));
    }
    return {};
  }
  const bool toSave = !unsaved.empty() || !marks.empty();
  if (toSave || damaged > 0) {
    // The journal goes on where it is, and knows of the save; a damaged one
    // is kept under another name and a fresh one holds its rows.
    journalFailed(journal_.open(path, found->path));
    if (journal_.rowPending())
      journalFailed(journal_.endRow(rows.back().nextRow, rows.back().nextColumn, rows.back().acquisitionNo));
  }
  const QString keptAs = journal_.keptAside().isEmpty() ? found->path : journal_.keptAside();
  const QString note = damaged > 0 ? MsgDamagedSkipped.arg(damaged).arg(keptAs) : QString();
  if (toSave) {
    beginSave();
    if (Status saved = xls_->saveActiveWorkbook(); !saved) {
      saveFailed();
      emit recoveryFailed(MsgNotSaved + QLatin1Char('\n') + saved.description() + QLatin1Char('\n') +
                          MsgRowsKept.arg(journal_.isOpen() ? journal_.path() : found->path) + note);
      return {};
    }
  }
  // Saved. The restored cursor is kept by whoever listens (setup.dat)
  // before the journal goes: in between, a crash would send the next run
  // over the recovered rows. A crash before the removal replays the same
  // values into the same cells again. A damaged journal stays where it was
  // kept.
  recoveredRows_ = rows;
  emit rowsRecovered(static_cast<int>(unsaved.size()), damaged, keptAs);
  // A journal left behind by a move holds nothing the one replayed lacks; kept,
  // it would bring an older cursor back at the next open.
  if (!found->behind.isEmpty() && !QFile::remove(found->behind))
    trace(QStringLiteral("journal"), QStringLiteral("cannot remove ") + found->behind);
  if (journal_.isOpen())
    traceFailure(QStringLiteral("journal"), journal_.retire());
  else if (damaged == 0 && !QFile::remove(found->path))
    trace(QStringLiteral("journal"), QStringLiteral("cannot remove ") + found->path);
  return {};
}

Result<WorkbookConnection::Replayed> WorkbookConnection::replayJournal(const QString& journalPath) {
  if (excelState_ != ExcelState::Open || !xls_) return fail(SheetError::AccessLost, MsgAccessLost);
  if (!QFileInfo(journalPath).isFile()) return fail(SheetError::NotFound, journalPath + MsgNotFound);
  QFile file(journalPath);
  if (!file.open(QIODevice::ReadOnly))
    return fail(SheetError::NotFound,
                QStringLiteral("取得データの記録 %1 を読めません: %2").arg(journalPath, file.errorString()));
  const Result<JournalContents> contents = parseJournal(file.readAll());
  if (!contents) return fail(SheetError::NotFound, journalPath + QStringLiteral(": ") + contents.description());
  // Every row: the file it was written for may be gone with the rows it held.
  Status written = writeJournalRows(contents->rows, continuedSheets(contents->rows));
  if (written) written = writeJournalMarks(contents->marks);
  if (!written) return fail(SheetError::AccessLost, written.description());
  if (Status saved = xls_->saveActiveWorkbook(); !saved) return fail(SheetError::NotSaved, saved.description());
  Replayed replayed{static_cast<int>(contents->rows.size()),
                    contents->rows.empty() ? JournalRow{} : contents->rows.back(), true, contents->damagedLines};
  // What could not be read stays for whoever can make sense of it.
  replayed.retired = contents->damagedLines == 0 && QFile::remove(journalPath);
  return replayed;
}

Status WorkbookConnection::writeJournalRows(const std::vector<JournalRow>& rows, const QStringList& continued) {
  QString sheet;
  // Recovered stamps are shown whole, as a live run's are.
  std::set<std::pair<QString, int>> widened;
  for (const JournalRow& row : rows) {
    // A sheet the run went on in that the file lacks (the crash came before
    // a save had it) is added again, after the sheet of the rows before it.
    if (row.sheet != sheet && !row.sheet.isEmpty())
      if (Status chosen = showSheet(row.sheet, row.row - 1, continued.contains(row.sheet)); !chosen) return chosen;
    sheet = row.sheet;
    for (const JournalCell& cell : row.cells) {
      if (cell.row < 1 || cell.row > LastWorksheetRow) continue;
      if (Status set = xls_->setCellValue(cell.row, cell.column, cell.value); !set) return set;
      if (const auto* stamp = std::get_if<Stamp>(&cell.value); stamp && widened.emplace(sheet, cell.column).second)
        widenStampColumn(cell.column, *stamp);
    }
  }
  return {};
}

Status WorkbookConnection::writeJournalMarks(const std::vector<JournalMark>& marks) {
  QString sheet;
  for (const JournalMark& mark : marks) {
    if (mark.sheet != sheet && !mark.sheet.isEmpty())
      if (Status chosen = xls_->activateSheet(mark.sheet); !chosen) return chosen;
    sheet = mark.sheet;
    if (mark.row < 1 || mark.row > LastWorksheetRow) continue;
    if (Status marked = xls_->markCell(mark.row, mark.column); !marked) return marked;
  }
  return {};
}

int WorkbookConnection::stampWidth(Stamp::Kind kind, bool milliseconds) {
  const int thousandths = milliseconds ? 4 : 0;  // .120
  switch (kind) {
    case Stamp::Kind::Date:
      return 10;  // 2026/12/07
    case Stamp::Kind::Time:
      return 8 + thousandths;  // 23:59:59
    case Stamp::Kind::DateTime:
      break;
  }
  return 19 + thousandths;  // 2026/12/07 23:59:59
}

}  // namespace kestrune::sheet
