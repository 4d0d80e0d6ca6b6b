#include "sheet/workbook_connection.h"

#include "core/trace.h"

#include <QFileInfo>

#include <limits>

namespace kestrune::sheet {

WorkbookConnection::WorkbookConnection(settings::SetupRecord& record, MessageBoxes& boxes, SpreadsheetFactory factory)
    : record_(record), boxes_(boxes), factory_(std::move(factory)) {}

void WorkbookConnection::CommandOpen_Click(const QString& path, const std::function<void()>& refreshControls,
                                           const std::function<void()>& focusMainWindow) {
  // Only a file is a workbook: a folder or a named pipe of that name is not.
  if (!QFileInfo(path).isFile()) {
    boxes_.show(path + MsgNotFound);
    return;
  }
  // An application that still answers is only brought forward.
  if (xls && xls->setVisible(true) && xls->setWindowStateNormal()) {
    refreshControls();
    return;
  }
  xls.reset();
  // Without a factory no application can start: that is a failed start, not a crash.
  Result<std::unique_ptr<SpreadsheetApp>> created =
      factory_ ? factory_()
               : Result<std::unique_ptr<SpreadsheetApp>>(fail(QStringLiteral("表計算アプリケーションがありません")));
  QString reason = created.description();
  if (created.ok() && created.value()) {
    xls = std::move(created).value();
    if (onAttach_) onAttach_(*xls);
    Status shown = xls->openWorkbook(path);
    if (shown) shown = xls->setVisible(true);
    if (shown) shown = xls->setWindowStateNormal();
    if (shown) {
      excelState = ExcelState::Open;
      if (focusMainWindow) focusMainWindow();
      refreshControls();
      return;
    }
    reason = shown.description();
  }
  xls.reset();
  excelState = ExcelState::NotOpen;
  // One box: the start message, and why as the application gave it.
  boxes_.show(MsgCannotStart, MessageIcon::None, reason);
  refreshControls();
}

void WorkbookConnection::CommandClose_Click(const std::function<void()>& refreshControls) {
  // The application reports a failed save itself; a failed quit leaves
  // nothing to do but let go of it.
  if (xls && xls->saveActiveWorkbook()) traceFailure(QStringLiteral("Close"), xls->quit());
  xls.reset();
  excelState = ExcelState::NotOpen;
  refreshControls();
}

void WorkbookConnection::release() {
  if (xls) xls->release();
  xls.reset();
}

void WorkbookConnection::accessLost() {
  boxes_.show(MsgAccessLost);
  excelState = ExcelState::NotOpen;
}

void WorkbookConnection::getStartCell() {
  widenedColumns_.clear();  // a new run looks at its stamp columns again
  if (excelState != ExcelState::Open || !xls) return;
  if (record_.startAtCell()) {
    const QString address =
        QString::fromLatin1(record_.startCol).trimmed() + QString::number(static_cast<qint64>(record_.startRow));
    if (!xls->selectRange(address)) return accessLost();
  }
  const Result<CellRef> active = xls->activeCell();
  if (!active || active->column > std::numeric_limits<std::int16_t>::max()) return accessLost();
  // The column letters are the 2nd and 3rd characters of "$B$12", less a "$".
  QString letters = absoluteAddress(*active).mid(1, 2);
  if (letters.size() == 2 && letters[1] == QLatin1Char('$')) letters.truncate(1);
  record_.startColNo = static_cast<std::int16_t>(active->column);
  record_.startRow = active->row;
  record_.startCol = letters.toLatin1();
  if (cursorView_) {
    cursorView_->showStartColumn(letters);
    cursorView_->showStartRow(QString::number(record_.startRow));
  }
  if (pump_) pump_();
}

void WorkbookConnection::nextCellMove() {
  if (excelState != ExcelState::Open || !xls) return;
  if (record_.startRow == std::numeric_limits<std::int32_t>::max()) return accessLost();
  ++record_.startRow;
  if (cursorView_) cursorView_->showStartRow(QString::number(record_.startRow));
  if (!xls->selectCell(record_.startRow, record_.startColNo)) accessLost();
}

void WorkbookConnection::excelDataSet(std::int16_t offsetColNo, const CellValue& value) {
  if (excelState != ExcelState::Open || !xls) return;
  const int column = record_.startColNo + offsetColNo;
  if (column > std::numeric_limits<std::int16_t>::max() || column < std::numeric_limits<std::int16_t>::min())
    return accessLost();
  if (!xls->setCellValue(record_.startRow, column, value)) return accessLost();
  // A stamp column too narrow shows "###" (or a cut date): widen it once per
  // run, the first time a stamp goes into it. Failing that is no reason to
  // stop writing.
  if (const auto* stamp = std::get_if<Stamp>(&value); stamp && widenedColumns_.insert(column).second)
    traceFailure(QStringLiteral("stamp column"), xls->ensureColumnWidth(column, stampWidth(stamp->kind)));
}

int WorkbookConnection::stampWidth(Stamp::Kind kind) {
  switch (kind) {
    case Stamp::Kind::Date:
      return 10;  // 2026/12/07
    case Stamp::Kind::Time:
      return 8;  // 23:59:59
    case Stamp::Kind::DateTime:
      break;
  }
  return 19;  // 2026/12/07 23:59:59
}

}  // namespace kestrune::sheet
