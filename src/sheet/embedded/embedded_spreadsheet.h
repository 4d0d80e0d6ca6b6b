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
#pragma once

#include "core/message_boxes.h"
#include "sheet/spreadsheet_app.h"

#include <QString>

#include <functional>
#include <memory>

namespace kestrune::xls {
class Workbook;
}

namespace kestrune::sheet::embedded {

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
  // `boxes` shows the application's own messages (a failed save); `askSave`
  // replaces the default question dialog.
  explicit EmbeddedSpreadsheet(MessageBoxes& boxes, SaveQuestion askSave = {});
  ~EmbeddedSpreadsheet() override;

  Status openWorkbook(const QString& path) override;
  Status setVisible(bool visible) override;
  Status setWindowStateNormal() override;
  Status saveActiveWorkbook() override;
  Status quit() override;
  Status selectRange(const QString& address) override;
  Result<CellRef> activeCell() override;
  Status selectCell(std::int32_t row, std::int32_t column) override;
  Status setCellValue(std::int32_t row, std::int32_t column, const CellValue& value) override;
  // Widens the column of the active sheet to `characters` digits and the
  // cell margins; the sheet window shows the new width.
  Status ensureColumnWidth(std::int32_t column, int characters) override;
  Result<ActiveSheetInfo> activeSheetInfo() override;
  Status activateSheet(const QString& name) override;
  // Program end: asks whether to save unsaved changes (保存 / 保存しない),
  // then closes the workbook and the window.
  void release() override;

  // The sheet window; null before the first workbook and without a QApplication.
  SheetWindow* window() const { return window_.get(); }
  bool hasWorkbook() const;
  bool hasUnsavedChanges() const;

private:
  enum class State { NoWorkbook, Open, Closed, Ended };

  Status usable() const;
  Result<std::size_t> activeWorksheet() const;
  Status selectAt(std::int64_t row, std::int64_t column);
  Status saveWithMessage();
  SavePrompt ask(bool canCancel);
  void setDirty(bool dirty);
  void closeWorkbook(State next);
  void ensureWindow();
  bool userClosesWindow();
  void userChoseSheet(std::size_t sheet);
  void userChoseCell(std::uint32_t row, std::uint32_t column);

  MessageBoxes& boxes_;
  SaveQuestion askSave_;
  State state_ = State::NoWorkbook;
  std::unique_ptr<xls::Workbook> workbook_;
  QString path_;
  bool dirty_ = false;
  std::unique_ptr<SheetWindow> window_;
};

// Starts built-in applications; each has no workbook yet and is hidden.
SpreadsheetFactory embeddedFactory(MessageBoxes& boxes, SaveQuestion askSave = {});

}  // namespace kestrune::sheet::embedded
