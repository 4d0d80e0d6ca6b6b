// The workbook's document in LibreOffice: opening it (refusing one whose rows
// could not be saved), showing its window, saving only what changed, and the
// cell and sheet operations of the SpreadsheetApp seam. Every UNO call runs
// through the watchdog (Impl::guarded), so no UNO exception leaves this file.
#include "sheet/calc/calc_uno.h"

#include "sheet/lock_file.h"
#include "sheet/xls/value.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <algorithm>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace kestrune::sheet::calc {

namespace {

constexpr std::int32_t LastRow = 65536;  // .xls keeps no more
// A window smaller than this is taken for one LibreOffice never placed.
constexpr int MinWindowWidth = 200;
constexpr int MinWindowHeight = 150;
constexpr int WindowMargin = 40;
constexpr int UsableWindowWidth = 1024;
constexpr int UsableWindowHeight = 720;
// One digit of the default font (Liberation Sans 10 pt) is about 2 mm wide,
// in the 1/100 mm a column width is given in, with room for the cell margins.
constexpr sal_Int32 DigitWidth = 210;
constexpr std::int32_t LastColumn = 256;

bool positionInside(std::int64_t row, std::int64_t column) {
  return row >= 1 && row <= LastRow && column >= 1 && column <= LastColumn;
}

Error outsideSheet(std::int64_t row, std::int64_t column) {
  return fail(SheetError::OutsideSheet, QStringLiteral("セル (%1, %2) はシートの範囲外です").arg(row).arg(column));
}

// Why a workbook is not opened, in the words the built-in application uses.
QString readOnlyWorkbook(const QString& name) {
  return QStringLiteral("ブック「%1」は読み取り専用です。取得データを保存できないため開けません").arg(name);
}
QString unwritableFolder(const QString& folder) {
  return QStringLiteral("フォルダー「%1」に書き込めないため、取得データを保存できません").arg(folder);
}
// A save failed; the workbook stays open with its rows.
QString cannotSave(const QString& name) { return QStringLiteral("ブック「%1」を保存できません").arg(name); }
QString cannotSave(const QString& name, const QString& why) { return cannotSave(name) + QStringLiteral("。") + why; }

// Whether we may write the file or folder. The mode bits count as well as
// access(2): root passes access() for anything, yet a workbook its owner made
// read-only must stay unwritten by us too.
bool writable(const QString& path) {
  const QByteArray name = QFile::encodeName(path);
  struct stat st {};
  if (::stat(name.constData(), &st) != 0) return false;
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 && ::access(name.constData(), W_OK) == 0;
}

// Less room than the workbook takes now: a new copy cannot be written.
bool diskFull(const QString& file) {
  struct statvfs fs {};
  if (::statvfs(QFile::encodeName(QFileInfo(file).absolutePath()).constData(), &fs) != 0) return false;
  constexpr qint64 SmallestWorkbook = 64 * 1024;
  const auto available = static_cast<qint64>(fs.f_bavail) * static_cast<qint64>(fs.f_frsize);
  return available < std::max(QFileInfo(file).size(), SmallestWorkbook);
}

}  // namespace

Status CalcApp::Impl::requireDocument() const {
  if (!model.is() || documentClosed) return fail(SheetError::AccessLost, QStringLiteral("ブックが開いていません"));
  return {};
}

Reference<css::sheet::XSpreadsheet> CalcApp::Impl::activeSheet() const {
  Reference<css::frame::XController> controller = model->getCurrentController();
  if (!controller.is()) throw css::lang::DisposedException(OUString::createFromAscii("no view"));
  Reference<css::sheet::XSpreadsheetView> view(controller, UNO_QUERY_THROW);
  Reference<css::sheet::XSpreadsheet> sheet = view->getActiveSheet();
  if (!sheet.is()) throw css::uno::RuntimeException(OUString::createFromAscii("no active sheet"));
  return sheet;
}

void CalcApp::Impl::select(const css::uno::Any& what) const {
  Reference<css::view::XSelectionSupplier> selection(model->getCurrentController(), UNO_QUERY_THROW);
  selection->select(what);
}

Reference<css::awt::XWindow> CalcApp::Impl::window() const {
  Reference<css::frame::XController> controller = model->getCurrentController();
  if (!controller.is()) throw css::lang::DisposedException(OUString::createFromAscii("no view"));
  return controller->getFrame()->getContainerWindow();
}

sal_Int32 CalcApp::Impl::formatKey(const Stamp& stamp) {
  const bool milliseconds = stamp.milliseconds && stamp.kind != Stamp::Kind::Date;
  const int which = static_cast<int>(stamp.kind) * 2 + (milliseconds ? 1 : 0);
  const auto it = formatKeys.find(which);
  if (it != formatKeys.end()) return it->second;
  const char* time = milliseconds ? "HH:MM:SS.000" : "H:MM:SS";
  const OUString code = stamp.kind == Stamp::Kind::Date ? OUString::createFromAscii("YYYY/MM/DD")
                        : stamp.kind == Stamp::Kind::Time
                            ? OUString::createFromAscii(time)
                            : OUString::createFromAscii("YYYY/MM/DD ") + OUString::createFromAscii(time);
  Reference<css::util::XNumberFormatsSupplier> supplier(model, UNO_QUERY_THROW);
  Reference<css::util::XNumberFormats> formats = supplier->getNumberFormats();
  const css::lang::Locale locale;
  sal_Int32 key = formats->queryKey(code, locale, false);
  if (key < 0) key = formats->addNew(code, locale);
  formatKeys[which] = key;
  return key;
}

double CalcApp::Impl::serialOf(const Stamp& stamp) const {
  Reference<css::beans::XPropertySet> properties(model, UNO_QUERY_THROW);
  css::util::Date nullDate;
  properties->getPropertyValue(OUString::createFromAscii("NullDate")) >>= nullDate;
  const QDate epoch(nullDate.Year, nullDate.Month, nullDate.Day);
  const double days = static_cast<double>(epoch.daysTo(stamp.value.date()));
  const double fraction = stamp.value.time().msecsSinceStartOfDay() / 86400000.0;
  switch (stamp.kind) {
    case Stamp::Kind::Date:
      return days;
    case Stamp::Kind::Time:
      return fraction;
    case Stamp::Kind::DateTime:
      break;
  }
  return days + fraction;
}

Status CalcApp::openWorkbook(const QString& path) {
  Impl& i = *impl_;
  const QFileInfo given(path);
  // LibreOffice follows a symbolic link: it locks and stores the file the
  // link points to, and the link stays a link. Our checks look there too.
  const QString resolved = given.canonicalFilePath();
  const QString file = resolved.isEmpty() ? given.absoluteFilePath() : resolved;
  // Rows that cannot be saved are not taken. A missing file is LibreOffice's to report.
  if (QFileInfo::exists(file)) {
    if (!writable(file)) return fail(SheetError::ReadOnly, readOnlyWorkbook(given.fileName()));
    const QString folder = QFileInfo(file).absolutePath();
    if (!writable(folder)) return fail(SheetError::ReadOnly, unwritableFolder(QDir::toNativeSeparators(folder)));
  }
  // One writer per workbook: a live lock refuses, one whose holder is gone is cleared.
  if (Status free = clearStaleLock(file); !free) return free;
  bool readOnly = false;
  const auto load = [&] {
    // Never "Hidden": a hidden document ignores the view saved in the file
    // (its controller gives the first sheet and A1, and getViewData() is
    // empty, so there is nothing to restore), and rows would land on the
    // wrong sheet. A headless LibreOffice shows no window either way.
    css::uno::Sequence<css::beans::PropertyValue> args(1);
    args.getArray()[0].Name = OUString::createFromAscii("Hidden");
    args.getArray()[0].Value <<= false;
    const QString url = QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded);
    Reference<css::lang::XComponent> component =
        i.desktop->loadComponentFromURL(toOU(url), OUString::createFromAscii("_blank"), 0, args);
    Reference<css::frame::XModel> model(component, UNO_QUERY);
    if (!model.is()) throw css::uno::RuntimeException(OUString::createFromAscii("not a spreadsheet"));
    Reference<css::sheet::XSpreadsheetView> view(model->getCurrentController(), UNO_QUERY);
    if (!view.is()) throw css::uno::RuntimeException(OUString::createFromAscii("not a spreadsheet"));
    // LibreOffice opens a workbook it may not write (locked meanwhile, or no
    // permission) read-only, and only the save at the end would fail.
    if (Reference<css::frame::XStorable>(model, UNO_QUERY_THROW)->isReadonly()) {
      readOnly = true;
      Reference<css::util::XCloseable>(model, UNO_QUERY_THROW)->close(true);
      return;
    }
    i.model = model;
    i.workbookPath = path;
    i.workbookName = given.fileName();
    i.documentClosed = false;
    i.formatKeys.clear();
    Reference<css::util::XCloseBroadcaster>(model, UNO_QUERY_THROW)
        ->addCloseListener(Reference<css::util::XCloseListener>(i.listener.get()));
    Reference<css::view::XSelectionSupplier>(model->getCurrentController(), UNO_QUERY_THROW)
        ->addSelectionChangeListener(Reference<css::view::XSelectionChangeListener>(i.listener.get()));
  };
  const Status opened = i.guarded(QStringLiteral("ブックを開けません"), load, SheetError::CannotStart);
  if (!opened) return opened;
  if (readOnly) {
    // Most often someone took the workbook between our look and LibreOffice's: say who.
    if (Status free = clearStaleLock(file); !free) return free;
    return fail(
        SheetError::ReadOnly,
        QStringLiteral("ブックを開けません: %1 は読み取り専用でしか開けません").arg(QFileInfo(file).fileName()));
  }
  i.openedFile = file;
  i.guard.watchLock(lockFilePath(file));
  return {};
}

Status CalcApp::setVisible(bool visible) {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  if (i.options.headless) return {};
  return i.guarded(QStringLiteral("ウィンドウを表示できません"), [&] { i.window()->setVisible(visible); });
}

Status CalcApp::setWindowStateNormal() {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  if (i.options.headless) return {};
  return i.guarded(QStringLiteral("ウィンドウを元に戻せません"), [&] {
    Reference<css::awt::XTopWindow2> top(i.window(), UNO_QUERY);
    if (!top.is()) return;
    top->setIsMinimized(false);
    top->setIsMaximized(false);
    // A fresh profile remembers no window: LibreOffice then opens it a pixel
    // wide at the screen's corner. Give it a size one can work in.
    const css::awt::Rectangle placed = i.window()->getPosSize();
    if (placed.Width < MinWindowWidth || placed.Height < MinWindowHeight)
      i.window()->setPosSize(WindowMargin, WindowMargin, UsableWindowWidth, UsableWindowHeight,
                             css::awt::PosSize::POSSIZE);
  });
}

QRect CalcApp::windowGeometry() const {
  Impl& i = *impl_;
  if (!i.requireDocument() || i.options.headless) return {};
  QRect rect;
  static_cast<void>(i.guarded(QStringLiteral("ウィンドウの位置を読めません"), [&] {
    const css::awt::Rectangle r = i.window()->getPosSize();
    rect = QRect(r.X, r.Y, r.Width, r.Height);
  }));  // an unreadable window reads as no rectangle
  return rect;
}

Status CalcApp::saveActiveWorkbook() {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  const QString what = cannotSave(i.workbookName);
  bool modified = true;
  const Status asked =
      i.guarded(what, [&] { modified = Reference<css::util::XModifiable>(i.model, UNO_QUERY_THROW)->isModified(); });
  if (!asked) return asked;
  // Nothing written since it was opened or saved: the file keeps its bytes and its time.
  if (!modified) return {};
  // Made read-only meanwhile: LibreOffice run by root would write it all the same.
  const QString readOnly = QStringLiteral("ファイルが読み取り専用です");
  if (QFileInfo::exists(i.openedFile) && !writable(i.openedFile))
    return fail(SheetError::NotSaved, cannotSave(i.workbookName, readOnly));
  QString failure;
  const Status status = i.guarded(what, [&] {
    // A failed store leaves the file as it was and the document open and
    // modified: the caller may keep the rows and try again.
    try {
      Reference<css::frame::XStorable>(i.model, UNO_QUERY_THROW)->store();
    } catch (const css::task::ErrorCodeIOException& e) {
      failure = QStringLiteral("LibreOffice のエラーコード 0x%1")
                    .arg(static_cast<quint32>(e.ErrCode), 8, 16, QLatin1Char('0'));
    } catch (const css::io::IOException& e) {
      failure = toQ(e.Message);
    }
  });
  if (!status) return status;
  if (failure.isEmpty()) return {};
  // LibreOffice's code says only that writing failed; the file system says why.
  if (QFileInfo::exists(i.openedFile) && !writable(i.openedFile))
    return fail(SheetError::NotSaved, cannotSave(i.workbookName, readOnly));
  if (diskFull(i.openedFile))
    return fail(SheetError::NotSaved, cannotSave(i.workbookName, QStringLiteral("ディスクの空き容量が足りません")));
  return fail(SheetError::NotSaved,
              cannotSave(i.workbookName, QStringLiteral("書き込みに失敗しました（%1）").arg(failure)));
}

Status CalcApp::closeWorkbookWindow() {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  return i.guarded(QStringLiteral("ブックを閉じられません"),
                   [&] { Reference<css::util::XCloseable>(i.model, UNO_QUERY_THROW)->close(true); });
}

Status CalcApp::activateSheet(const QString& name) {
  if (name.isEmpty()) return {};
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  return i.guarded(QStringLiteral("シート「%1」を選べません").arg(name), [&] {
    Reference<css::sheet::XSpreadsheetDocument> document(i.model, UNO_QUERY_THROW);
    Reference<css::sheet::XSpreadsheet> sheet(document->getSheets()->getByName(toOU(name)), UNO_QUERY_THROW);
    Reference<css::sheet::XSpreadsheetView>(i.model->getCurrentController(), UNO_QUERY_THROW)->setActiveSheet(sheet);
  });
}

Status CalcApp::selectRange(const QString& address) {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  const Result<CellRef> cell = parseA1(address);
  if (!cell) return cell.error();
  if (!positionInside(cell->row, cell->column)) return outsideSheet(cell->row, cell->column);
  return i.guarded(QStringLiteral("セルを選択できません"), [&] {
    Reference<css::table::XCellRange> range = i.activeSheet()->getCellRangeByName(toOU(address.toUpper()));
    i.select(css::uno::Any(range));
  });
}

Result<CellRef> CalcApp::activeCell() {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s.error();
  CellRef cell;
  const Status status = i.guarded(QStringLiteral("アクティブセルを読めません"), [&] {
    Reference<css::view::XSelectionSupplier> selection(i.model->getCurrentController(), UNO_QUERY_THROW);
    const css::uno::Any selected = selection->getSelection();
    Reference<css::sheet::XCellAddressable> single(selected, UNO_QUERY);
    if (single.is()) {
      const css::table::CellAddress a = single->getCellAddress();
      cell = {a.Row + 1, a.Column + 1};
      return;
    }
    Reference<css::sheet::XCellRangeAddressable> range(selected, UNO_QUERY);
    if (!range.is()) throw css::uno::RuntimeException(OUString::createFromAscii("no cell selected"));
    const css::table::CellRangeAddress a = range->getRangeAddress();
    cell = {a.StartRow + 1, a.StartColumn + 1};
  });
  if (!status) return status.error();
  return cell;
}

Status CalcApp::selectCell(std::int32_t row, std::int32_t column) {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  if (!positionInside(row, column)) return outsideSheet(row, column);
  return i.guarded(QStringLiteral("セルを選択できません"),
                   [&] { i.select(css::uno::Any(i.activeSheet()->getCellByPosition(column - 1, row - 1))); });
}

Status CalcApp::setCellValue(std::int32_t row, std::int32_t column, const CellValue& value) {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  if (!positionInside(row, column)) return outsideSheet(row, column);
  return i.guarded(QStringLiteral("セルに書き込めません"), [&] {
    Reference<css::table::XCell> cell = i.activeSheet()->getCellByPosition(column - 1, row - 1);
    if (const auto* text = std::get_if<QString>(&value)) {
      // Typed input: plain numbers become numbers; nothing becomes a formula.
      const xls::Value typed = xls::parseTyped(text->toStdString());
      if (const auto* number = std::get_if<double>(&typed))
        cell->setValue(*number);
      else
        Reference<css::text::XText>(cell, UNO_QUERY_THROW)->setString(toOU(*text));
    } else if (const auto* number = std::get_if<std::int32_t>(&value)) {
      cell->setValue(*number);
    } else if (const auto* stamp = std::get_if<Stamp>(&value)) {
      cell->setValue(i.serialOf(*stamp));
      Reference<css::beans::XPropertySet>(cell, UNO_QUERY_THROW)
          ->setPropertyValue(OUString::createFromAscii("NumberFormat"), css::uno::Any(i.formatKey(*stamp)));
    }
  });
}

Status CalcApp::markCell(std::int32_t row, std::int32_t column) {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  if (!positionInside(row, column)) return outsideSheet(row, column);
  return i.guarded(QStringLiteral("セルに印を付けられません"), [&] {
    Reference<css::beans::XPropertySet> cell(i.activeSheet()->getCellByPosition(column - 1, row - 1), UNO_QUERY_THROW);
    const OUString backColor = OUString::createFromAscii("CellBackColor");
    const auto fill = static_cast<sal_Int32>(MarkFillRgb);
    // A marked cell is left as it is: marking it again is no change to save.
    if (cell->getPropertyValue(backColor).get<sal_Int32>() == fill) return;
    cell->setPropertyValue(backColor, css::uno::Any(fill));
  });
}

Result<QString> CalcApp::cellText(std::int32_t row, std::int32_t column) {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s.error();
  if (!positionInside(row, column)) return outsideSheet(row, column);
  QString text;
  const Status status = i.guarded(QStringLiteral("セルを読めません"), [&] {
    Reference<css::table::XCell> cell = i.activeSheet()->getCellByPosition(column - 1, row - 1);
    // A formula is FORMULA whatever its result; only a text constant counts.
    if (cell->getType() != css::table::CellContentType_TEXT) return;
    text = toQ(Reference<css::text::XText>(cell, UNO_QUERY_THROW)->getString());
  });
  if (!status) return status.error();
  return text;
}

Result<ActiveSheetInfo> CalcApp::activeSheetInfo() {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s.error();
  ActiveSheetInfo info;
  const Status status = i.guarded(QStringLiteral("アクティブシートを読めません"), [&] {
    info.name = toQ(Reference<css::container::XNamed>(i.activeSheet(), UNO_QUERY_THROW)->getName());
  });
  if (!status) return status.error();
  return info;
}

Result<QStringList> CalcApp::sheetNames() {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s.error();
  QStringList names;
  const Status status = i.guarded(QStringLiteral("シートの名前を読めません"), [&] {
    Reference<css::sheet::XSpreadsheetDocument> document(i.model, UNO_QUERY_THROW);
    const css::uno::Sequence<OUString> all = document->getSheets()->getElementNames();
    for (sal_Int32 k = 0; k < all.getLength(); ++k) names << toQ(all[k]);
  });
  if (!status) return status.error();
  return names;
}

Status CalcApp::addSheet(const QString& name, std::int32_t headerRows) {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  if (headerRows < 0 || headerRows >= LastWorksheetRow) headerRows = 0;
  return i.guarded(
      QStringLiteral("シート「%1」を追加できません").arg(name),
      [&] {
        Reference<css::sheet::XSpreadsheetDocument> document(i.model, UNO_QUERY_THROW);
        Reference<css::sheet::XSpreadsheets> sheets = document->getSheets();
        const Reference<css::sheet::XSpreadsheet> current = i.activeSheet();
        const sal_Int16 from =
            Reference<css::sheet::XCellRangeAddressable>(current, UNO_QUERY_THROW)->getRangeAddress().Sheet;
        const auto at = static_cast<sal_Int16>(from + 1);
        sheets->insertNewByName(toOU(name), at);
        Reference<css::sheet::XSpreadsheet> added(sheets->getByName(toOU(name)), UNO_QUERY_THROW);
        if (headerRows > 0) {
          css::table::CellRangeAddress source;
          source.Sheet = from;
          source.StartColumn = 0;
          source.StartRow = 0;
          source.EndColumn = LastColumn - 1;
          source.EndRow = headerRows - 1;
          css::table::CellAddress target;
          target.Sheet = at;
          target.Column = 0;
          target.Row = 0;
          Reference<css::sheet::XCellRangeMovement>(added, UNO_QUERY_THROW)->copyRange(target, source);
        }
        Reference<css::sheet::XSpreadsheetView>(i.model->getCurrentController(), UNO_QUERY_THROW)
            ->setActiveSheet(added);
      },
      SheetError::SheetNotAdded);
}

Status CalcApp::ensureColumnWidth(std::int32_t column, int characters) {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  if (!positionInside(1, column)) return outsideSheet(1, column);
  return i.guarded(QStringLiteral("列の幅を変えられません"), [&] {
    Reference<css::util::XModifiable> modifiable(i.model, UNO_QUERY_THROW);
    const bool wasModified = modifiable->isModified();
    Reference<css::table::XColumnRowRange> range(i.activeSheet(), UNO_QUERY_THROW);
    Reference<css::beans::XPropertySet> col(range->getColumns()->getByIndex(column - 1), UNO_QUERY_THROW);
    const OUString width = OUString::createFromAscii("Width");
    const sal_Int32 before = col->getPropertyValue(width).get<sal_Int32>();
    // The width its contents need, as LibreOffice measures them, but never
    // narrower than the user made it, nor than `characters` digits.
    col->setPropertyValue(OUString::createFromAscii("OptimalWidth"), css::uno::Any(true));
    const sal_Int32 optimal = col->getPropertyValue(width).get<sal_Int32>();
    const sal_Int32 wanted = std::max({before, optimal, static_cast<sal_Int32>(characters) * DigitWidth});
    col->setPropertyValue(width, css::uno::Any(wanted));
    // Measuring is no change: a column left as wide as it was gives the
    // document nothing to save. (It follows a written cell in a run, so the
    // document is modified already and keeps that.)
    if (wanted == before && !wasModified) modifiable->setModified(false);
  });
}

}  // namespace kestrune::sheet::calc
