// The connection between the logger and the spreadsheet application: opening
// and closing the workbook, the cell cursor (start cell, next row) and writing
// one value. The cursor lives in the settings record so the next run, even
// after a restart, continues below the last row written.
#pragma once

#include "core/message_boxes.h"
#include "settings/setup_record.h"
#include "sheet/spreadsheet_app.h"

#include <QString>

#include <functional>
#include <memory>
#include <set>

namespace kestrune::sheet {

inline const QString MsgNotFound = QStringLiteral("が見つかりません！");
inline const QString MsgCannotStart = QStringLiteral("エクセルが起動できません！");
inline const QString MsgAccessLost = QStringLiteral("エクセルにアクセスできません! 再オープンして下さい");

// Whether writing goes to an open workbook. NotOpen before the first open and
// after a close, a failed open or a lost connection.
enum class ExcelState { NotOpen, Open };

// Where the cursor is shown: the start column and start row boxes.
class CursorView {
public:
  virtual ~CursorView() = default;
  virtual void showStartColumn(const QString& letters) = 0;
  virtual void showStartRow(const QString& row) = 0;
};

class WorkbookConnection {
public:
  WorkbookConnection(settings::SetupRecord& record, MessageBoxes& boxes, SpreadsheetFactory factory);

  ExcelState excelState = ExcelState::NotOpen;
  // The application, empty when none is attached.
  std::unique_ptr<SpreadsheetApp> xls;

  void setCursorView(CursorView* view) { cursorView_ = view; }
  // Runs pending user-interface events (at the end of getStartCell).
  void setEventPump(std::function<void()> pump) { pump_ = std::move(pump); }
  // Called once a new application is attached (to connect its events).
  void setAttachHandler(std::function<void(SpreadsheetApp&)> handler) { onAttach_ = std::move(handler); }

  // Opens the workbook at `path` in a new application, or brings the attached
  // one forward. `refreshControls` is excelButtonSet; `focusMainWindow`
  // gives the keyboard focus back to the main window.
  void CommandOpen_Click(const QString& path, const std::function<void()>& refreshControls,
                         const std::function<void()>& focusMainWindow);
  // Saves the active workbook and ends the application; never says anything.
  void CommandClose_Click(const std::function<void()>& refreshControls);
  // Lets go of the application at program end without quitting it.
  void release();

  // Places the cursor on the start cell (the given cell, or the application's
  // active cell) and keeps the application's active cell on it.
  void getStartCell();
  // Moves the cursor one row down.
  void nextCellMove();
  // Writes `value` into the cursor row at column startColNo + offsetColNo.
  void excelDataSet(std::int16_t offsetColNo, const CellValue& value);

  // The characters a stamp of `kind` shows ("2026/12/07 9:05:03" and so on).
  static int stampWidth(Stamp::Kind kind);

private:
  void accessLost();

  settings::SetupRecord& record_;
  MessageBoxes& boxes_;
  SpreadsheetFactory factory_;
  CursorView* cursorView_ = nullptr;
  std::function<void()> pump_;
  std::function<void(SpreadsheetApp&)> onAttach_;
  // Columns this run has widened for its stamps: each is looked at once.
  std::set<int> widenedColumns_;
};

}  // namespace kestrune::sheet
