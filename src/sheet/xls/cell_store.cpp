#include "sheet/xls/cell_store.h"

#include "sheet/xls/text.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kestrune::xls {

namespace {

bool columnBefore(const CellSlot& slot, std::uint32_t column) { return slot.column < column; }

}  // namespace

double CellSlot::number() const {
  double v;
  std::memcpy(&v, payload, sizeof v);
  return v;
}

void CellSlot::setNumber(double v) { std::memcpy(payload, &v, sizeof v); }

const CellSlot* CellStore::find(std::uint32_t row, std::uint32_t column) const {
  if (row >= rowCount_) return nullptr;
  const std::span<const CellSlot> cells = this->row(row);
  auto it = std::lower_bound(cells.begin(), cells.end(), column, columnBefore);
  return it != cells.end() && it->column == column ? &*it : nullptr;
}

CellSlot* CellStore::find(std::uint32_t row, std::uint32_t column) {
  if (!std::as_const(*this).find(row, column)) return nullptr;
  Row& cells = ownRow(row);
  return &*std::lower_bound(cells.begin(), cells.end(), column, columnBefore);
}

CellStore::Row& CellStore::ownRow(std::uint32_t row) {
  const std::size_t block = row / RowsPerBlock;
  if (block >= blocks_.size()) blocks_.resize(block + 1);
  std::shared_ptr<Block>& p = blocks_[block];
  if (!p)
    p = std::make_shared<Block>();
  else if (!detail::soleHolder(p))
    p = std::make_shared<Block>(std::as_const(*p));
  rowCount_ = std::max<std::size_t>(rowCount_, static_cast<std::size_t>(row) + 1);
  return (*p)[row % RowsPerBlock];
}

std::size_t CellStore::sharedBlocks() const {
  return static_cast<std::size_t>(
      std::count_if(blocks_.begin(), blocks_.end(), [](const auto& p) { return p && p.use_count() > 1; }));
}

CellSlot& CellStore::slot(std::uint32_t row, std::uint32_t column) {
  Row& cells = ownRow(row);
  // Cells mostly arrive in column order: try the end first.
  auto it = !cells.empty() && cells.back().column < column
                ? cells.end()
                : std::lower_bound(cells.begin(), cells.end(), column, columnBefore);
  if (it != cells.end() && it->column == column) return *it;
  if (cells.size() == cells.capacity()) {
    // Grow by half: a row of ten cells ends with room for 13, not 16.
    const auto at = it - cells.begin();
    cells.reserve(cells.size() < 4 ? 4 : cells.size() + cells.size() / 2);
    it = cells.begin() + at;
  }
  CellSlot fresh;
  fresh.column = static_cast<std::uint8_t>(column);
  ++count_;
  return *cells.insert(it, fresh);
}

std::uint32_t CellStore::addText(std::string text) {
  texts_.push_back(std::move(text));
  return static_cast<std::uint32_t>(texts_.size() - 1);
}

Cell cellOf(const CellSlot& slot, const CellStore& store, const SstStrings& sst) {
  Cell cell{Value(), slot.xf, slot.formula != 0};
  switch (slot.cellKind()) {
    case CellKind::Empty:
      break;
    case CellKind::SharedText:
      cell.value = slot.index() < sst.size() ? utf16ToUtf8(sst[slot.index()].chars) : std::string();
      break;
    case CellKind::LocalText:
      cell.value = store.text(slot.index());
      break;
    case CellKind::Number:
      cell.value = slot.number();
      break;
    case CellKind::Date:
      cell.value = DateTimeValue{slot.number(), static_cast<DateKind>(slot.dateKind)};
      break;
    case CellKind::Bool:
      cell.value = slot.index() != 0;
      break;
    case CellKind::Error:
      cell.value = CellError{static_cast<std::uint8_t>(slot.index())};
      break;
  }
  return cell;
}

CellsView::iterator::iterator(const CellsView& view, std::size_t row, std::size_t index)
    : store_(view.store_), sst_(view.sst_), row_(row), index_(index) {
  settle();
}

void CellsView::iterator::settle() {
  const std::size_t rows = store_->rowCount();
  while (row_ < rows && index_ >= store_->row(row_).size()) ++row_, index_ = 0;
  if (row_ >= rows) {
    row_ = rows;
    index_ = 0;
    current_.reset();
    return;
  }
  const CellSlot& slot = store_->row(row_)[index_];
  current_.emplace(static_cast<std::uint32_t>(row_ << 8 | slot.column), cellOf(slot, *store_, *sst_));
}

CellsView::iterator& CellsView::iterator::operator++() {
  ++index_;
  settle();
  return *this;
}

CellsView::iterator CellsView::find(std::uint32_t key) const {
  const std::uint32_t row = key >> 8;
  const CellSlot* slot = store_->find(row, key & 0xFF);
  if (!slot) return end();
  return iterator(*this, row, static_cast<std::size_t>(slot - store_->row(row).data()));
}

}  // namespace kestrune::xls
