// The window of the built-in spreadsheet application: the active sheet as a
// grid, sheet tabs, the workbook path in the status line and a File menu.
// It only shows the workbook; every change goes through the handlers, which
// the application (EmbeddedSpreadsheet) provides.
#pragma once

#include "sheet/embedded/sheet_model.h"

#include <QMainWindow>

#include <cstddef>
#include <cstdint>
#include <functional>

class QAction;
class QLabel;
class QTabBar;
class QTableView;

namespace kestrune::sheet::embedded {

inline const QString WindowTitleApplication = QStringLiteral("Kestrune シート");
inline const QString MenuFileText = QStringLiteral("ファイル(&F)");
inline const QString ActionSaveText = QStringLiteral("保存(&S)");
inline const QString ActionCloseText = QStringLiteral("閉じる(&C)");

class SheetWindow final : public QMainWindow {
  Q_OBJECT
public:
  struct Handlers {
    std::function<void()> save;                                               // File > 保存, Ctrl+S
    std::function<bool()> closeRequested;                                     // the user closes; false keeps it open
    std::function<void(std::size_t sheet)> sheetChosen;                       // the user picked a sheet tab
    std::function<void(std::uint32_t row, std::uint32_t column)> cellChosen;  // the user moved the cell (0-based)
  };

  explicit SheetWindow(Handlers handlers, QWidget* parent = nullptr);
  ~SheetWindow() override;

  // Shows the workbook's active sheet and active cell; null shows nothing.
  void showWorkbook(const xls::Workbook* workbook, const QString& path);
  // Makes the active cell of the active sheet current, selected and visible.
  // The user's selection handler is not called for it.
  void showActiveCell();
  // Repaints one written cell.
  void cellChanged(std::size_t sheet, std::uint32_t row, std::uint32_t column);
  // Shows a column of `sheet` at the width the workbook now gives it.
  void columnWidthChanged(std::size_t sheet, std::uint32_t column);
  // The width in pixels of a column `width` 1/256 of a '0' wide.
  int columnPixels(std::uint16_t width) const;
  void setModified(bool modified);
  // True while closeEvent runs (the window must not be deleted then).
  bool inCloseEvent() const { return inCloseEvent_; }

  SheetModel& model() { return model_; }
  QTableView& grid() { return *grid_; }
  QTabBar& tabs() { return *tabs_; }
  QAction& saveAction() { return *save_; }
  QAction& closeAction() { return *close_; }
  QString statusText() const;

protected:
  void closeEvent(QCloseEvent* event) override;

private:
  void tabChanged(int index);
  void currentChanged(const QModelIndex& current);
  void showAddress(const QModelIndex& current);
  // Columns with a width of their own; the others keep the grid's default.
  void showColumnWidths();
  void showColumnWidth(std::uint32_t column);

  Handlers handlers_;
  SheetModel model_;
  QTableView* grid_ = nullptr;
  QTabBar* tabs_ = nullptr;
  QLabel* pathLabel_ = nullptr;
  QLabel* addressLabel_ = nullptr;
  QAction* save_ = nullptr;
  QAction* close_ = nullptr;
  bool programSelecting_ = false;
  bool fillingTabs_ = false;
  bool inCloseEvent_ = false;
};

}  // namespace kestrune::sheet::embedded
