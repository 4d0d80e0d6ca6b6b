#include "sheet/embedded/sheet_model.h"

#include "sheet/a1.h"
#include "sheet/embedded/cell_text.h"

#include <QColor>

#include <optional>

namespace kestrune::sheet::embedded {

void SheetModel::show(const xls::Workbook* workbook, std::size_t sheet) {
  beginResetModel();
  workbook_ = workbook;
  sheet_ = workbook && sheet < workbook->sheetCount() ? sheet : 0;
  endResetModel();
}

bool SheetModel::hasGrid() const {
  return workbook_ && sheet_ < workbook_->sheetCount() && workbook_->sheetKind(sheet_) == xls::SheetKind::Worksheet;
}

void SheetModel::cellChanged(std::size_t sheet, std::uint32_t row, std::uint32_t column) {
  if (!hasGrid() || sheet != sheet_ || row >= xls::MaxRows || column >= xls::MaxColumns) return;
  const QModelIndex changed = index(static_cast<int>(row), static_cast<int>(column));
  emit dataChanged(changed, changed, {Qt::DisplayRole, Qt::TextAlignmentRole, Qt::BackgroundRole});
}

int SheetModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() || !hasGrid() ? 0 : static_cast<int>(xls::MaxRows);
}

int SheetModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() || !hasGrid() ? 0 : static_cast<int>(xls::MaxColumns);
}

QVariant SheetModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || !hasGrid() ||
      (role != Qt::DisplayRole && role != Qt::TextAlignmentRole && role != Qt::BackgroundRole))
    return {};
  const auto& cells = workbook_->cells(sheet_);
  const auto found =
      cells.find(static_cast<std::uint32_t>(index.row()) << 8 | static_cast<std::uint32_t>(index.column()));
  if (found == cells.end()) return {};
  // A solid fill shows (a marked cell's among them); other patterns do not.
  if (role == Qt::BackgroundRole) {
    const std::optional<xls::Rgb> fill = workbook_->solidFillOf(found->second.xf);
    return fill ? QVariant(QColor(fill->red, fill->green, fill->blue)) : QVariant();
  }
  const xls::Value& value = found->second.value;
  if (role == Qt::DisplayRole)
    return displayText(
        value, workbook_->date1904(),
        std::holds_alternative<xls::DateTimeValue>(value) && workbook_->showsSecondFractions(found->second.xf));
  // Numbers and dates to the right, booleans and errors centred, text to the left.
  if (std::holds_alternative<double>(value) || std::holds_alternative<xls::DateTimeValue>(value))
    return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
  if (std::holds_alternative<bool>(value) || std::holds_alternative<xls::CellError>(value))
    return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
  return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
}

QVariant SheetModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || section < 0) return QAbstractTableModel::headerData(section, orientation, role);
  if (orientation == Qt::Horizontal) return columnLetters(section + 1);
  return QString::number(section + 1);
}

Qt::ItemFlags SheetModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

}  // namespace kestrune::sheet::embedded
