// LibreOffice Calc as the spreadsheet application, driven over UNO. Open
// starts soffice as our own child (its own process group, its own profile
// and pipe), connects to it and opens the workbook in a Calc window. Every
// call is guarded by a watchdog, so a hung LibreOffice is ended instead of
// freezing the logger, and a guard process ends LibreOffice should we be
// killed. The workbook's lock file is honoured: see lock_file.h. A workbook
// whose rows could not be saved (read-only, in a folder we cannot write) is
// not opened, and a save writes only a modified document. UNO itself stays
// inside this folder's .cpp files (through calc_uno.h).
#pragma once

#include "sheet/spreadsheet_app.h"

#include <QRect>
#include <QString>

#include <chrono>
#include <memory>

namespace kestrune::sheet::calc {

struct CalcOptions {
  // The soffice program; found on PATH or in /usr/lib/libreoffice/program when empty.
  QString soffice;
  // No window: LibreOffice runs headless (headless runs). The workbook is
  // still loaded as a visible document would be, so that its saved view
  // (active sheet, active cell) holds.
  bool headless = false;
  // A call that takes longer ends LibreOffice and fails.
  std::chrono::milliseconds callTimeout{15000};
  // Starting and connecting may take this long.
  std::chrono::milliseconds startTimeout{60000};
};

// Whether soffice can be found.
bool calcInstalled(const CalcOptions& options = {});

// Starts a new LibreOffice for each instance.
SpreadsheetFactory calcFactory(CalcOptions options);

class CalcApp final : public SpreadsheetApp {
  Q_OBJECT
public:
  ~CalcApp() override;

  static Result<std::unique_ptr<SpreadsheetApp>> start(const CalcOptions& options);

  Status openWorkbook(const QString& path) override;
  Status setVisible(bool visible) override;
  Status setWindowStateNormal() override;
  Status saveActiveWorkbook() override;
  Status quit() override;
  Status activateSheet(const QString& name) override;
  Status selectRange(const QString& address) override;
  Result<CellRef> activeCell() override;
  Status selectCell(std::int32_t row, std::int32_t column) override;
  Status setCellValue(std::int32_t row, std::int32_t column, const CellValue& value) override;
  Result<QString> cellText(std::int32_t row, std::int32_t column) override;
  // The cell's CellBackColor; LibreOffice keeps the rest of its format.
  Status markCell(std::int32_t row, std::int32_t column) override;
  Status ensureColumnWidth(std::int32_t column, int characters) override;
  // Every sheet of a Calc document has cells: a chart sheet of an .xls file
  // opens as a sheet with the chart drawn over it, and writing works.
  Result<ActiveSheetInfo> activeSheetInfo() override;
  Result<QStringList> sheetNames() override;
  // XSpreadsheets::insertNewByName after the active sheet; the header rows
  // are copied with their formats (XCellRangeMovement::copyRange). Calc
  // limits the count of sheets itself.
  Status addSheet(const QString& name, std::int32_t headerRows) override;
  void release() override;

  // Closes the workbook's document as the user closing its window does
  // (LibreOffice keeps running); later operations fail.
  Status closeWorkbookWindow();

  // The LibreOffice process (its group has the same id), 0 when none.
  qint64 processId() const;
  // Where the document window is on the screen (empty when hidden or headless).
  QRect windowGeometry() const;
  // Where LibreOffice's own output goes; it holds the reason when it fails.
  QString logPath() const;

  struct Impl;

private:
  explicit CalcApp(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrune::sheet::calc
