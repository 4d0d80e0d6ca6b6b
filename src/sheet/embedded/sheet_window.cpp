#include "sheet/embedded/sheet_window.h"

#include "sheet/a1.h"

#include <QAction>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QPointer>
#include <QStatusBar>
#include <QTabBar>
#include <QTableView>
#include <QVBoxLayout>

namespace kestrune::sheet::embedded {

SheetWindow::SheetWindow(Handlers handlers, QWidget* parent) : QMainWindow(parent), handlers_(std::move(handlers)) {
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  grid_ = new QTableView(central);
  grid_->setModel(&model_);
  grid_->setSelectionMode(QAbstractItemView::SingleSelection);
  grid_->setSelectionBehavior(QAbstractItemView::SelectItems);
  grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid_->setAutoScroll(true);  // the current cell is kept in view
  grid_->setWordWrap(false);
  grid_->setCornerButtonEnabled(false);
  // Fixed, uniform row heights keep 65,536 rows cheap: no per-row sizing.
  grid_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  grid_->verticalHeader()->setDefaultSectionSize(grid_->fontMetrics().height() + 6);
  grid_->horizontalHeader()->setDefaultSectionSize(grid_->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 11);
  grid_->horizontalHeader()->setHighlightSections(true);
  grid_->verticalHeader()->setHighlightSections(true);

  tabs_ = new QTabBar(central);
  tabs_->setShape(QTabBar::RoundedSouth);
  tabs_->setExpanding(false);
  tabs_->setDocumentMode(true);

  layout->addWidget(grid_, 1);
  layout->addWidget(tabs_);
  setCentralWidget(central);

  QMenu* file = menuBar()->addMenu(MenuFileText);
  save_ = file->addAction(ActionSaveText);
  save_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  close_ = file->addAction(ActionCloseText);
  connect(save_, &QAction::triggered, this, [this] {
    if (handlers_.save) handlers_.save();
  });
  connect(close_, &QAction::triggered, this, &QWidget::close);

  addressLabel_ = new QLabel(this);
  addressLabel_->setMinimumWidth(addressLabel_->fontMetrics().horizontalAdvance(QStringLiteral("IV65536")) + 12);
  pathLabel_ = new QLabel(this);
  statusBar()->addWidget(addressLabel_);
  statusBar()->addWidget(pathLabel_, 1);

  connect(tabs_, &QTabBar::currentChanged, this, &SheetWindow::tabChanged);
  connect(grid_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current, const QModelIndex&) { currentChanged(current); });

  showWorkbook(nullptr, QString());
  resize(900, 600);
}

SheetWindow::~SheetWindow() {
  // The model is a member and goes before the child view: detach the view first.
  grid_->setModel(nullptr);
}

void SheetWindow::showWorkbook(const xls::Workbook* workbook, const QString& path) {
  fillingTabs_ = true;
  while (tabs_->count() > 0) tabs_->removeTab(0);
  if (workbook) {
    for (std::size_t i = 0; i < workbook->sheetCount(); ++i)
      tabs_->addTab(QString::fromStdString(workbook->sheetName(i)));
    tabs_->setCurrentIndex(static_cast<int>(workbook->activeSheet()));
  }
  fillingTabs_ = false;
  model_.show(workbook, workbook ? workbook->activeSheet() : 0);
  showColumnWidths();
  pathLabel_->setText(workbook ? QDir::toNativeSeparators(path) : QString());
  const QString name = workbook ? QFileInfo(path).fileName() : QString();
  // "book.xls - Kestrune シート"; [*] shows unsaved changes where the desktop marks them.
  setWindowTitle(name.isEmpty() ? QStringLiteral("[*]") + WindowTitleApplication
                                : name + QStringLiteral("[*] - ") + WindowTitleApplication);
  setWindowModified(false);
  showActiveCell();
}

void SheetWindow::showActiveCell() {
  const xls::Workbook* workbook = model_.workbook();
  if (!model_.hasGrid()) {
    showAddress({});
    return;
  }
  const xls::CellPosition active = workbook->activeCell(model_.sheet());
  const QModelIndex index = model_.index(active.row, active.column);
  // A cell out of view is brought to the middle, so a cursor moving down row
  // by row scrolls the grid once a half page instead of on every row (each
  // scroll repaints the whole grid). The view itself keeps its current cell
  // in view (autoScroll), when hidden once it is shown.
  if (grid_->isVisible() && !grid_->viewport()->rect().contains(grid_->visualRect(index)))
    grid_->scrollTo(index, QAbstractItemView::PositionAtCenter);
  programSelecting_ = true;
  grid_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
  programSelecting_ = false;
  showAddress(index);
}

void SheetWindow::cellChanged(std::size_t sheet, std::uint32_t row, std::uint32_t column) {
  model_.cellChanged(sheet, row, column);
}

void SheetWindow::columnWidthChanged(std::size_t sheet, std::uint32_t column) {
  if (model_.hasGrid() && sheet == model_.sheet() && column < xls::MaxColumns) showColumnWidth(column);
}

int SheetWindow::columnPixels(std::uint16_t width) const {
  return qRound(width / 256.0 * grid_->fontMetrics().horizontalAdvance(QLatin1Char('0')));
}

void SheetWindow::showColumnWidths() {
  if (!model_.hasGrid()) return;
  for (std::uint32_t column = 0; column < xls::MaxColumns; ++column)
    if (model_.workbook()->columnWidth(model_.sheet(), column)) showColumnWidth(column);
}

void SheetWindow::showColumnWidth(std::uint32_t column) {
  QHeaderView* header = grid_->horizontalHeader();
  const std::optional<std::uint16_t> width = model_.workbook()->columnWidth(model_.sheet(), column);
  header->resizeSection(static_cast<int>(column), width ? columnPixels(*width) : header->defaultSectionSize());
}

void SheetWindow::setModified(bool modified) {
  if (isWindowModified() != modified) setWindowModified(modified);
}

QString SheetWindow::statusText() const { return pathLabel_->text(); }

void SheetWindow::closeEvent(QCloseEvent* event) {
  // The handler may show a prompt (a nested event loop) and may even end the
  // application that owns this window; nothing here is touched after that.
  QPointer<SheetWindow> self(this);
  inCloseEvent_ = true;
  const bool accept = !handlers_.closeRequested || handlers_.closeRequested();
  event->setAccepted(accept);
  if (self) inCloseEvent_ = false;
}

void SheetWindow::tabChanged(int index) {
  if (fillingTabs_ || index < 0 || !model_.workbook()) return;
  const auto sheet = static_cast<std::size_t>(index);
  if (handlers_.sheetChosen) handlers_.sheetChosen(sheet);
  model_.show(model_.workbook(), sheet);
  showColumnWidths();
  showActiveCell();
}

void SheetWindow::currentChanged(const QModelIndex& current) {
  showAddress(current);
  if (programSelecting_ || !current.isValid() || !handlers_.cellChosen) return;
  handlers_.cellChosen(static_cast<std::uint32_t>(current.row()), static_cast<std::uint32_t>(current.column()));
}

void SheetWindow::showAddress(const QModelIndex& current) {
  addressLabel_->setText(current.isValid() ? columnLetters(current.column() + 1) + QString::number(current.row() + 1)
                                           : QString());
}

}  // namespace kestrune::sheet::embedded
