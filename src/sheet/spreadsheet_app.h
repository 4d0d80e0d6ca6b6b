// The spreadsheet application the logger writes into: the operations it uses
// and the two events it listens to. Implementations: the built-in application
// (sheet/embedded) and LibreOffice Calc (sheet/calc). Every operation reports
// failure as a value; nothing is thrown across this seam.
#pragma once

#include "core/acquired_row.h"
#include "core/result.h"
#include "sheet/a1.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <variant>

namespace kestrune::sheet {

using Stamp = kestrune::Stamp;

// What a cell is given: text, a whole number or a stamp.
using CellValue = std::variant<QString, std::int32_t, Stamp>;

// The last row of a worksheet in an Excel 97-2003 workbook.
constexpr std::int32_t LastWorksheetRow = 65536;

// The background of a marked cell (markCell): a light red, as 0xRRGGBB.
constexpr std::uint32_t MarkFillRgb = 0xFFC7CE;

// Why a workbook operation failed, for callers that act on it.
enum class SheetError {
  NotFound = 1,     // no such file
  CannotStart,      // the application or the workbook could not be opened
  NotSaved,         // the workbook could not be saved; what was written is kept
  SheetFull,        // the cursor is past the worksheet's last row
  AccessLost,       // the application stopped answering
  JournalSetAside,  // the workbook is open; a journal written for another file was kept under a new name
  RowsNotWritten,   // the workbook was saved and closed without rows it could not take; the journal keeps them
  // The application and its workbook
  NoWorkbook,       // no workbook is open: none yet, closed by the user, or the application has ended
  AlreadyOpen,      // a workbook is open already
  ReadOnly,         // the workbook or its folder cannot be written, so acquired data could not be saved
  InUse,            // another program holds the workbook (its lock file says who)
  LockFailed,       // the lock file beside the workbook could not be made, read or removed
  BadAddress,       // a cell address that is not one
  OutsideSheet,     // a row or column outside the worksheet
  NotWorksheet,     // the active sheet holds no cells (a chart sheet, a module)
  NoSuchSheet,      // no sheet of that name
  SheetNotChosen,   // the application could not make the sheet active
  BadDate,          // a date or time the workbook cannot hold
  ValueNotWritten,  // the cell cannot take the value
  // The acquisition journal and the files it reads
  WorkbookUnreadable,  // the workbook file could not be read to identify it
  NotAJournal,         // the file holds no journal
  JournalIsLink,       // a journal at a symbolic link is refused
  JournalUnreadable,   // the journal could not be read
  JournalNotCreated,   // no journal could be made in any place
  JournalNotOpen,      // rows were written with no journal open
  JournalNotWritten,   // writing, syncing or replacing the journal failed; it may have been lost
  JournalNotSetAside,  // a journal could not be renamed out of the way
  JournalNotRemoved,   // a journal no longer needed could not be removed
  // The application
  CallFailed,  // the application failed an operation for a reason of its own
  // A full sheet
  SheetNotAdded,  // the workbook cannot take another sheet
};
inline ErrorDomain errorDomainOf(SheetError) { return ErrorDomain::Sheet; }

// The active sheet as a run sees it: its name, and whether it holds cells
// (a worksheet) or not (a chart sheet, a macro or dialog sheet, a module).
struct ActiveSheetInfo {
  QString name;
  bool holdsCells = true;
};

class SpreadsheetApp : public QObject {
  Q_OBJECT
public:
  using QObject::QObject;
  ~SpreadsheetApp() override = default;

  // Workbooks.Open: opens the workbook and makes it the active one.
  virtual Status openWorkbook(const QString& path) = 0;
  // Visible = true: shows the application's window.
  virtual Status setVisible(bool visible) = 0;
  // WindowState = normal: neither minimised nor maximised.
  virtual Status setWindowStateNormal() = 0;
  // ActiveWorkbook.Save: saves the active workbook under its own name and format.
  virtual Status saveActiveWorkbook() = 0;
  // Quit: ends the application.
  virtual Status quit() = 0;

  // Range(address).Select: the cell of the active sheet becomes the active cell.
  virtual Status selectRange(const QString& address) = 0;
  // ActiveCell, with its Row and Column.
  virtual Result<CellRef> activeCell() = 0;
  // Cells(row, column).Select.
  virtual Status selectCell(std::int32_t row, std::int32_t column) = 0;
  // Cells(row, column).Value = value, on the active sheet.
  virtual Status setCellValue(std::int32_t row, std::int32_t column, const CellValue& value) = 0;
  // Cells(row, column) of the active sheet read back: its text when it holds
  // a text constant; empty for a blank cell and for any other value (a
  // number, date, boolean, error, or a formula whatever its result).
  // Refused without a workbook, outside the sheet and on a sheet without
  // cells. Applications that cannot read cells give empty text.
  virtual Result<QString> cellText(std::int32_t row, std::int32_t column) {
    static_cast<void>(row);
    static_cast<void>(column);
    return QString();
  }
  // Marks Cells(row, column) of the active sheet: its background becomes
  // MarkFillRgb (or the nearest colour the workbook can hold), and the rest of
  // its format (number format, font, borders, alignment) and its value stay.
  // Marking a marked cell changes nothing. Refused like setCellValue: without
  // a workbook, outside the sheet, on a sheet without cells. Applications
  // that cannot colour cells do nothing and succeed.
  virtual Status markCell(std::int32_t row, std::int32_t column) {
    static_cast<void>(row);
    static_cast<void>(column);
    return {};
  }
  // Makes the column of the active sheet at least wide enough for `characters`
  // digits of the standard font; a wider column stays as it is. Applications
  // that cannot do it leave the column alone.
  virtual Status ensureColumnWidth(std::int32_t column, int characters) {
    static_cast<void>(column);
    static_cast<void>(characters);
    return {};
  }

  // ActiveSheet, with its Name and whether cells can be written into it.
  // Applications that cannot tell report a worksheet.
  virtual Result<ActiveSheetInfo> activeSheetInfo() { return ActiveSheetInfo{}; }
  // Makes the sheet called `name` the active one; an empty name changes nothing.
  virtual Status activateSheet(const QString& name) {
    if (name.isEmpty()) return {};
    return fail(SheetError::SheetNotChosen, QStringLiteral("シート「%1」を選べません").arg(name));
  }

  // The names of the workbook's sheets, in order. Applications that cannot
  // tell give the active sheet's alone.
  virtual Result<QStringList> sheetNames() {
    const Result<ActiveSheetInfo> active = activeSheetInfo();
    if (!active) return active.error();
    return QStringList{active->name};
  }
  // Adds a worksheet called `name` right after the active sheet, copies the
  // first `headerRows` rows of the active sheet into it (their values, and
  // their formats where the application can) and makes it the active sheet.
  // Fails with SheetNotAdded when the workbook cannot take another sheet
  // (too many sheets, a name in use, a file grown past what can be saved);
  // applications that cannot add sheets always do.
  virtual Status addSheet(const QString& name, std::int32_t headerRows) {
    static_cast<void>(headerRows);
    return fail(SheetError::SheetNotAdded, QStringLiteral("シート「%1」を追加できません").arg(name));
  }

  // Brings the workbook file on disk up to date with what has been written so
  // far, without holding the caller up: an application that keeps only a copy
  // in memory saves a snapshot on a worker thread. Applications that keep
  // their own document do nothing. The outcome arrives as backgroundSaveDone.
  virtual void saveInBackground() {}
  // Whether saveInBackground writes the file and answers.
  virtual bool savesInBackground() const { return false; }

  // The logger lets go of the application at program end without quitting
  // it. An application in its own process keeps running; one inside ours
  // must not lose unsaved work silently.
  virtual void release() {}

signals:
  // The outcome of saveInBackground: whether the file was written, and why not.
  void backgroundSaveDone(bool saved, const QString& reason);
  // The file on disk now holds everything written into the workbook (a save
  // of any kind, the one at program end included).
  void workbookSaved();
  // WorkbookBeforeClose(Wb, Cancel): a workbook is about to close.
  void workbookBeforeClose(const QString& workbookPath, bool* cancel);
  // SheetSelectionChange(Sh, Target): the user selected another cell.
  void sheetSelectionChange(const QString& sheetName, const kestrune::sheet::CellRef& target);
};

// Starts a new application instance, not yet visible.
using SpreadsheetFactory = std::function<Result<std::unique_ptr<SpreadsheetApp>>()>;

}  // namespace kestrune::sheet
