// The grid of one sheet of a workbook as a table model: 65,536 rows by 256
// columns with A, B, ... and 1, 2, ... headers. Virtual: cells are looked up
// in the workbook when the view asks, nothing is stored per cell.
#pragma once

#include "sheet/xls/workbook.h"

#include <QAbstractTableModel>

#include <cstddef>
#include <cstdint>

namespace kestrune::sheet::embedded {

class SheetModel final : public QAbstractTableModel {
  Q_OBJECT
public:
  using QAbstractTableModel::QAbstractTableModel;

  // Shows `sheet` of `workbook` (null: nothing). The workbook must outlive
  // the model or be replaced by null before it goes away.
  void show(const xls::Workbook* workbook, std::size_t sheet);
  const xls::Workbook* workbook() const { return workbook_; }
  std::size_t sheet() const { return sheet_; }
  // Whether the shown sheet is a worksheet with a grid.
  bool hasGrid() const;
  // One cell of `sheet` was written: only that index is reported changed.
  void cellChanged(std::size_t sheet, std::uint32_t row, std::uint32_t column);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
  const xls::Workbook* workbook_ = nullptr;
  std::size_t sheet_ = 0;
};

}  // namespace kestrune::sheet::embedded
