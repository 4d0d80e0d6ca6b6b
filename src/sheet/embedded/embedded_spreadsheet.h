// The built-in spreadsheet application, for machines without a spreadsheet
// program: it opens an .xls workbook with our own engine, shows it in a
// SheetWindow, takes the logger's cell writes and saves the workbook back.
//
// Contracts beyond SpreadsheetApp:
// - One workbook per instance. openWorkbook fails while a workbook is open;
//   after the user closed it, the instance may open one again. After quit()
//   or release() every operation fails.
// - Every operation fails while no workbook is open, after the workbook was
//   closed, and (cell operations) while the active sheet is not a worksheet.
// - The user closing the window: unsaved changes are offered for saving
//   (保存 / 保存しない / キャンセル; キャンセル keeps the window), then
//   workbookBeforeClose is emitted (cancel = true keeps it open), then the
//   workbook is closed. quit() closes without either.
// - Without a QApplication (a headless program) there is no window: showing
//   succeeds without effect and the default save question answers 保存.
// - Nothing read is lost to a save: a workbook that cannot be saved where it
//   is (read-only, or in a folder we cannot write to) is refused at open; a
//   save that fails leaves the old file and the unsaved changes as they were;
//   a workbook that did not change (selecting cells is no change) is never
//   rewritten. A symbolic link is saved through to its target.
// - While a workbook is open its lock file (LibreOffice's, see lock_file.h)
//   says that this process has it; a workbook held by a live LibreOffice or
//   Kestrune is refused.
// - A failed save that no caller asked for (the user's own, the one before
//   the window closes or at program end) is announced by saveFailed; the
//   application layer tells the user.
// - saveInBackground() writes a snapshot on a worker thread (see
//   BackgroundSaver); every other save waits for it first.
#pragma once

#include "sheet/lock_file.h"
#include "sheet/spreadsheet_app.h"
#include "sheet/xls/xls_result.h"

#include <QString>

#include <functional>
#include <memory>
#include <string>

namespace kestrune::xls {
class Workbook;
}

namespace kestrune::sheet::embedded {

class BackgroundSaver;
class SheetWindow;

// The answer to "save the changes?".
enum class SavePrompt { Save, DontSave, Cancel };
// Asks whether to save the workbook at `path`. At program end キャンセル is
// not offered; an injected question that answers Cancel there saves.
using SaveQuestion = std::function<SavePrompt(const QString& path)>;

inline const QString PromptSaveText = QStringLiteral("保存");
inline const QString PromptDontSaveText = QStringLiteral("保存しない");
inline const QString PromptCancelText = QStringLiteral("キャンセル");

class EmbeddedSpreadsheet final : public SpreadsheetApp {
  Q_OBJECT
public:
  // `askSave` replaces the default question dialog.
  explicit EmbeddedSpreadsheet(SaveQuestion askSave = {});
  ~EmbeddedSpreadsheet() override;

  // Fails for a read-only workbook, one in a folder we cannot write to, and
  // one whose lock another live program holds.
  Status openWorkbook(const QString& path) override;
  Status setVisible(bool visible) override;
  Status setWindowStateNormal() override;
  // Saves unsaved changes, after a running background save; a failure is
  // returned, not shown (the caller tells the user).
  Status saveActiveWorkbook() override;
  Status quit() override;
  Status selectRange(const QString& address) override;
  Result<CellRef> activeCell() override;
  Status selectCell(std::int32_t row, std::int32_t column) override;
  Status setCellValue(std::int32_t row, std::int32_t column, const CellValue& value) override;
  // Gives the cell a format of its own with the mark's fill (see
  // xls::Workbook::fillCell); a cell holding a formula is refused.
  Status markCell(std::int32_t row, std::int32_t column) override;
  // Looks the cell up in the workbook's own cell store; nothing is copied
  // but the text itself.
  Result<QString> cellText(std::int32_t row, std::int32_t column) override;
  // Widens the column of the active sheet to `characters` digits and the
  // cell margins; the sheet window shows the new width.
  Status ensureColumnWidth(std::int32_t column, int characters) override;
  Result<ActiveSheetInfo> activeSheetInfo() override;
  Status activateSheet(const QString& name) override;
  Result<QStringList> sheetNames() override;
  // Refused (SheetNotAdded) past the engine's sheet count, and when the
  // file, grown by a sheet as large as the average one, would pass the
  // largest file the engine opens or the folder's file system holds.
  Status addSheet(const QString& name, std::int32_t headerRows) override;
  // Program end: asks whether to save unsaved changes (保存 / 保存しない),
  // then closes the workbook and the window.
  void release() override;
  void saveInBackground() override;
  bool savesInBackground() const override { return true; }

  // Called on the worker thread before each background write (tests hold a
  // background save there). Takes effect from the next workbook opened.
  void setBackgroundWriteGate(std::function<void()> gate) { backgroundWriteGate_ = std::move(gate); }

  // The sheet window; null before the first workbook and without a QApplication.
  SheetWindow* window() const { return window_.get(); }
  bool hasWorkbook() const;
  bool hasUnsavedChanges() const;

signals:
  // A save the user asked for in the window, or one before the window
  // closes or at program end, failed; the description says why in full.
  void saveFailed(const kestrune::Error& error);

private:
  enum class State { NoWorkbook, Open, Closed, Ended };

  Status usable() const;
  Result<std::size_t> activeWorksheet() const;
  Status selectAt(std::int64_t row, std::int64_t column);
  Status checkAndLock(const QString& path);
  Status roomForSheet() const;
  Status saveNow();
  Status saveAndReport();
  SavePrompt ask(bool canCancel);
  void changed();
  void savedUpTo(quint64 changes);
  void backgroundSaved(quint64 changes, const xls::XlsStatus& outcome);
  void answerBackground(bool saved, const QString& reason);
  QString saveFailure(const xls::XlsError& error) const;
  void closeWorkbook(State next);
  void ensureWindow();
  bool userClosesWindow();
  void userChoseSheet(std::size_t sheet);
  void userChoseCell(std::uint32_t row, std::uint32_t column);

  SaveQuestion askSave_;
  State state_ = State::NoWorkbook;
  std::unique_ptr<xls::Workbook> workbook_;
  QString path_;
  std::string target_;  // the file saves write: path_ with a symbolic link resolved
  WorkbookLock lock_;
  std::unique_ptr<BackgroundSaver> saver_;  // declared after lock_: joined before the lock goes
  std::function<void()> backgroundWriteGate_;
  quint64 changes_ = 0;  // changes made to the workbook since it was opened
  quint64 savedAt_ = 0;  // how many of them the file holds
  bool dirty_ = false;   // changes_ != savedAt_, also shown by the window
  std::unique_ptr<SheetWindow> window_;
};

// Starts built-in applications; each has no workbook yet and is hidden.
SpreadsheetFactory embeddedFactory(SaveQuestion askSave = {});

}  // namespace kestrune::sheet::embedded
