// The connection between the logger and the spreadsheet application: opening
// and closing the workbook, the cell cursor (start cell, next row) and writing
// one value. The cursor belongs to the session, which keeps it in setup.dat so
// the next run, even after a restart, continues below the last row written.
//
// Every value written also goes to the workbook's journal (journal.h), and to
// the journal's file, before the application sees it. The journal is retired once the workbook was
// saved with all of it, and replayed when the workbook is opened again after
// a crash or a failed save.
//
// The connection says nothing to the user itself: it returns what failed and
// emits signals; the windows and the headless runner decide what to show.
#pragma once

#include "core/run_cursor.h"
#include "sheet/journal.h"
#include "sheet/sheet_names.h"
#include "sheet/spreadsheet_app.h"

#include <QObject>
#include <QString>

#include <memory>
#include <set>
#include <utility>

namespace kestrune::sheet {

inline const QString MsgNotFound = QStringLiteral("が見つかりません！");
inline const QString MsgCannotStart = QStringLiteral("エクセルが起動できません！");
inline const QString MsgAccessLost = QStringLiteral("エクセルにアクセスできません! 再オープンして下さい");
inline const QString MsgRecovered = QStringLiteral("保存されていなかった取得データ %1 行を復元しました");
inline const QString MsgDamagedSkipped =
    QStringLiteral("（取得データの記録のうち破損した %1 行を読み飛ばしました。元の記録は %2 に残しました）");
inline const QString MsgNotSaved = QStringLiteral("ブックを保存できませんでした");
inline const QString MsgRowsKept = QStringLiteral(
    "取得データは %1 に残してあります。原因を取り除いてからブックを開き直すと、ブックに書き込まれます。");
inline const QString MsgSheetFull = QStringLiteral(
    "ワークシートの最終行（%1 行目）に達したため、取得を終了しました。別のシートか開始セルを選んでください");
// The sheet is full and no sheet could be added to go on in: %1 the last
// row, %2 why.
inline const QString MsgSheetNotAdded = QStringLiteral(
    "ワークシートの最終行（%1 行目）に達しましたが、ブックに新しいシートを追加できないため、取得を終了しました（%2）");
inline const QString MsgNoSheetName = QStringLiteral("新しいシートの名前を決められません");
inline const QString MsgStartPastEnd =
    QStringLiteral("開始セルの行 %1 はワークシートの最終行（%2 行目）を超えています。開始セルを設定し直してください");
inline const QString MsgRecoveryFailed = QStringLiteral("保存されていなかった取得データを復元できませんでした");
inline const QString MsgJournalSetAside = QStringLiteral(
    "取得データの記録 %1 は、別のファイルのために書かれたものです（ブックが置き換えられたか、ほかのプログラムで変更さ"
    "れました）。このブックには書き込まず、%2 として残しました。このデータを書き込むブックを確かめてから、"
    "kestrune --recover %2 --workbook ブック で書き込めます。");
inline const QString MsgJournalNotSetAside = QStringLiteral(
    "取得データの記録 %1 は、別のファイルのために書かれたものです（ブックが置き換えられたか、ほかのプログラムで変更さ"
    "れました）。このブックには書き込まず、そのまま残しました（%2）。このブックへの取得は記録なしで行います。");
// A journal whose rows could not be written at open: %1 why, %2 its new name.
inline const QString MsgJournalNotReplayed = QStringLiteral(
    "取得データの記録の行をブックに書き込めませんでした（%1）。記録は %2 として残しました。原因を取り除いてから "
    "kestrune --recover %2 --workbook ブック で書き込めます。次の取得は記録の行の下から始めます。");
// Rows the application could not take (a column past its last, the
// application gone): %1 is the journal that keeps them.
inline const QString MsgRowsNotWritten = QStringLiteral(
    "取得データの一部をブックに書き込めませんでした。その行は %1 に残してあります。原因を取り除いてからブックを開き直す"
    "と、ブックに書き込まれます。");
// No journal could be written anywhere: %1 why, %2 where the journal's rows
// are (MsgJournalHolds or MsgJournalHoldsNone).
inline const QString MsgJournalLost =
    QStringLiteral("取得データの記録をどこにも書き込めなくなったため、取得を止めました。%2\n%1");
inline const QString MsgJournalHolds =
    QStringLiteral("記録 %1 にはシートの %2 行目までの行があります。それより後の行はブックにだけあります。");
inline const QString MsgJournalHoldsNone =
    QStringLiteral("記録には取得した行がありません。取得した行はブックにだけあります。");
// %1: why the journal could not be opened anywhere.
inline const QString MsgNoJournal = QStringLiteral(
    "取得データの記録を作れないため、取得を始められません。ディスクの空きと書き込みの権限を確かめてください。\n%1");
// %1: the reason of the failure, %2 the journal's new place.
inline const QString MsgJournalMoved = QStringLiteral("取得データの記録を %2 に移しました（%1）");
inline const QString MsgJournalReplayed = QStringLiteral("取得データの記録 %1 の %2 行を %3 に書き込み、保存しました");

// What a recovery tells the user: the rows written back and, from a damaged
// journal, how many lines were skipped and where the journal was kept.
QString recoveredText(int rows, int damagedLines, const QString& keptAs);

// How a run starts: at the cursor's cell or at the sheet's current cell, and
// whether its rows are numbered.
struct RunStart {
  bool atCursorCell = false;
  bool numbering = false;
  // A full sheet is followed by a new one (named by continuationSheetName)
  // instead of ending the run.
  bool continueFullSheet = false;
};

// Rows above a run's start that may be taken for its header and copied to
// the top of each new sheet.
constexpr std::int32_t MaxHeaderRows = 100;

// Whether writing goes to an open workbook. NotOpen before the first open and
// after a close, a failed open or a lost connection.
enum class ExcelState { NotOpen, Open };

class WorkbookConnection final : public QObject, public RowConsumer {
  Q_OBJECT
public:
  WorkbookConnection(RunCursor& cursor, SpreadsheetFactory factory, QObject* parent = nullptr);
  ~WorkbookConnection() override;

  ExcelState excelState() const { return excelState_; }
  // The application, null when none is attached.
  SpreadsheetApp* application() const { return xls_.get(); }

  // Opens the workbook at `path` in a new application, or brings the attached
  // one forward; then brings in the rows a journal of this workbook holds.
  // Fails with NotFound (the description is the message) or CannotStart (the
  // description is the application's reason). A journal written for another
  // file (the workbook was replaced or changed by someone else) is not
  // replayed but kept under a new name: JournalSetAside, the workbook open,
  // the description saying where.
  Status open(const QString& path);
  // Saves the active workbook and ends the application. A failed save keeps
  // the application open with everything written and the journal with every
  // row: NotSaved, the description naming why and where the rows are.
  Status close();
  // Lets go of the application at program end without quitting it. The
  // journal stays until a save is seen.
  void release();

  // Places the cursor on the start cell (the given cell, or the application's
  // active cell) and keeps the application's active cell on it; a run starts
  // writing here. Fails with SheetFull when the start row lies past the
  // sheet's last row, AccessLost when the application does not answer.
  // With continueFullSheet, a new sheet starts at the run's start row when
  // the cell above the start cell holds text (a header) within the first
  // MaxHeaderRows rows, the rows above copied to it; at row 1 otherwise.
  Status getStartCell(const RunStart& start);
  // A completed row (its values written with excelDataSet): its journal row
  // ends, saying where the next row starts, and the cursor moves below it.
  // The sheet's last row, in a run that continues full sheets, adds the
  // next sheet first (sheetChanged), or says why it cannot (sheetNotAdded).
  void take(const AcquiredRow& row) override;
  // Moves the cursor one row down. Past the sheet's last row, sheetFull is
  // emitted instead.
  void nextCellMove();
  // The cursor: the row the next value goes into, and the first column.
  std::int32_t cursorRow() const { return cursor_.row; }
  std::int32_t cursorColumn() const { return cursor_.columnNo; }
  // Writes `value` into the cursor row at column startColNo + offsetColNo.
  void excelDataSet(std::int16_t offsetColNo, const CellValue& value);
  // The sheet the run writes into; empty before a run or when the
  // application cannot say.
  const QString& runSheet() const { return sheet_; }
  // Marks the cell at `row` and `column` of `sheet` (the run's sheet when empty; see
  // SpreadsheetApp::markCell): into the journal first, then the
  // application. An application that fails it is lost, as for a value; the
  // journal keeps the mark for the next open. Places outside the sheet are
  // ignored.
  void markCell(std::int32_t row, std::int32_t column, const QString& sheet = {});
  // The run's alarm state after its latest row, into the journal, so that a
  // run recovered after a crash goes on with its alarms as they were.
  void noteAlarmState(const QString& state);
  // The journal's lines from holdJournal() to releaseJournal() are written
  // at once (JournalWriter::hold).
  void holdJournal() { journal_.hold(); }
  void releaseJournal();
  // The alarm state the last recovery found (the interrupted run's), taken
  // once: empty when there was none.
  QString takeRecoveredAlarmState() { return std::exchange(recoveredAlarmState_, QString()); }
  // The rows of that run its alarms had not yet taken when it was
  // interrupted (a crash between a row and its alarms, or a row left
  // without end), in order; taken once like the state.
  std::vector<JournalRow> takeRecoveredAlarmRows() { return std::exchange(recoveredAlarmRows_, {}); }
  // Every row of the journal the last open wrote back into the workbook, in
  // order (the run record adds those it lacks); taken once.
  std::vector<JournalRow> takeRecoveredRows() { return std::exchange(recoveredRows_, {}); }
  // The run has ended: a row in progress is kept in the journal as it stands.
  void endRun();
  // Asks the application to bring the file on disk up to date (see
  // SpreadsheetApp::saveInBackground); rows it saved are marked in the journal.
  void saveInBackground();

  // Where this workbook's journal is (or would be).
  QString journalPath() const;
  // Values written now reach the journal.
  bool journalOpen() const { return journal_.isOpen(); }
  // Rows of this workbook's journal so far, and those known to be on the
  // disk; both count from the journal's start.
  int journalRows() const { return journal_.rows(); }
  int journalDurableRows() const { return journal_.durableRows(); }
  // Where the journal's rows are, when it was lost: MsgJournalHolds or
  // MsgJournalHoldsNone.
  QString journalHolds() const;

  // Writes every row of the journal at `journalPath` into the open workbook,
  // whichever file it was written for, saves the workbook and deletes the
  // journal (a damaged one is kept: the rows it held intact are written). Fails with NotFound (no readable journal),
  // AccessLost (a value could not be written) or NotSaved; the journal stays unless saved.
  struct Replayed {
    int rows = 0;
    JournalRow last;  // where the journal's run stood at its end
    bool retired = true;
    int damagedLines = 0;  // skipped; the journal is then kept
  };
  Result<Replayed> replayJournal(const QString& journalPath);

  // The characters a stamp of `kind` shows ("2026/12/07 9:05:03" and so on,
  // with ".120" when it shows milliseconds).
  static int stampWidth(Stamp::Kind kind, bool milliseconds = false);

signals:
  // Open starts the spreadsheet application now; LibreOffice takes seconds.
  // Open returns when it has started, or failed to.
  void applicationStarting();
  // A new application is attached (connect to its events here).
  void applicationAttached(kestrune::sheet::SpreadsheetApp* application);
  // Opened or closed: the controls show the new state.
  void stateChanged();
  // A workbook was opened in a new window: the main window takes the focus back.
  void workbookShown();
  // The cursor, for the start column and start row boxes.
  void startColumnShown(const QString& letters);
  void startRowShown(const QString& row);
  // Pending user-interface events should run (after the start cell is placed).
  void eventsDue();
  // The application stopped answering; writing has stopped.
  void accessLost();
  // The cursor went past the sheet's last row; the run must end.
  void sheetFull();
  // The run goes on in the new sheet `name`, its cursor at the top.
  void sheetChanged(const QString& name);
  // The sheet is full and no sheet could be added (`reason`); sheetFull follows.
  void sheetNotAdded(const QString& reason);
  // A journal was replayed into the workbook at open: `rows` rows came back.
  // A damaged one had `damagedLines` lines skipped and was kept as `keptAs`.
  void rowsRecovered(int rows, int damagedLines, const QString& keptAs);
  // A journal could not be replayed; it is kept. `reason` says why.
  void recoveryFailed(const QString& reason);
  // Something in a journal's place the user should know of (a link where
  // the journal belongs, not followed); the journal goes elsewhere.
  void journalWarning(const QString& text);
  // The journal moved to its other place (`text`: MsgJournalMoved), or could
  // be written nowhere (`text`: MsgJournalLost): acquiring must stop.
  void journalMoved(const QString& text);
  void journalLost(const QString& text);

private:
  void widenStampColumn(int column, const Stamp& stamp);
  // Adds the sheet a full one continues in; its name, or empty when none
  // was added (sheetNotAdded said why, unless the application is gone).
  QString addContinuationSheet();
  // Makes `name` the active sheet; a sheet the workbook lacks is added after
  // the active one (with `headerRows` rows copied) when `mayAdd`.
  Status showSheet(const QString& name, std::int32_t headerRows, bool mayAdd = true);
  void lostAccess();
  Status recover(const QString& path);
  // `continued`: the sheets the journal's runs went on in, which are added
  // where the workbook lacks them; any other missing sheet fails.
  Status writeJournalRows(const std::vector<JournalRow>& rows, const QStringList& continued);
  Status writeJournalMarks(const std::vector<JournalMark>& marks);
  void beginJournalSheet(bool open);
  void journalFailed(const Status& status);
  // The journal learns of a save: `rows` rows and `marks` marks are in the
  // file, and which file it now is.
  void journalSaved(int rows, int marks);
  // A save the logger asks for begins; it ends with journalSaved, or with
  // saveFailed when it wrote nothing (or nothing the application reported).
  void beginSave();
  void saveFailed();
  void onBackgroundSaveDone(bool saved, const QString& reason);

  RunCursor& cursor_;
  bool numbering_ = false;
  SpreadsheetFactory factory_;
  ExcelState excelState_ = ExcelState::NotOpen;
  std::unique_ptr<SpreadsheetApp> xls_;
  QString path_;
  JournalWriter journal_;
  // The row and mark counts the running background save will have written.
  int savingRows_ = -1;
  int savingMarks_ = 0;
  bool sheetBegun_ = false;
  // The workbook's journal belongs to another file and could not be set
  // aside: runs go without one rather than add to it.
  bool journalRefused_ = false;
  // Columns this run has widened for its stamps: each is looked at once.
  std::set<int> widenedColumns_;
  // The first journal row (counting from the journal's start) with a value
  // the application did not take; saves never mark it or later rows saved.
  int unwrittenFrom_ = -1;
  // A mark the application did not take: saves never count the marks saved.
  bool markUnwritten_ = false;
  QString recoveredAlarmState_;                 // see takeRecoveredAlarmState
  std::vector<JournalRow> recoveredAlarmRows_;  // see takeRecoveredAlarmRows
  std::vector<JournalRow> recoveredRows_;       // see takeRecoveredRows
  // Full sheets: see RunStart and getStartCell.
  bool continueFullSheet_ = false;
  QString firstSheet_;  // the run's first sheet, whose name new sheets carry
  QString sheet_;       // the sheet the run writes into now
  std::int32_t headerRows_ = 0;
  QString switchedTo_;  // the sheet take() added, for nextCellMove
  // The sheet row of the last row that reached the journal whole.
  std::int32_t journaledThrough_ = 0;
  QString journalMovedSaid_;
  bool journalLostSaid_ = false;
};

}  // namespace kestrune::sheet
