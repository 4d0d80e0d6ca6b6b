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
  const CellSlot* found = std::as_const(*this).find(row, column);
  if (!found) return nullptr;
  const auto at = found - std::as_const(*this).row(row).data();
  Block& block = ownBlock(row);
  return block.cells.data() + block.starts[row % RowsPerBlock] + at;
}

CellStore::Block& CellStore::ownBlock(std::uint32_t row) {
  const std::size_t index = row / RowsPerBlock;
  if (index >= blocks_.size()) blocks_.resize(index + 1);
  std::shared_ptr<Block>& p = blocks_[index];
  if (!p) {
    p = std::make_shared<Block>();
  } else if (!detail::soleHolder(p)) {
    auto copy = std::make_shared<Block>();
    copy->cells.reserve(p->cells.size() + RowsPerBlock);  // room for a row more before it grows
    copy->cells.assign(p->cells.begin(), p->cells.end());
    copy->starts = p->starts;
    p = std::move(copy);
  }
  rowCount_ = std::max<std::size_t>(rowCount_, static_cast<std::size_t>(row) + 1);
  return *p;
}

std::size_t CellStore::sharedBlocks() const {
  return static_cast<std::size_t>(
      std::count_if(blocks_.begin(), blocks_.end(), [](const auto& p) { return p && p.use_count() > 1; }));
}

CellSlot& CellStore::slot(std::uint32_t row, std::uint32_t column) {
  Block& block = ownBlock(row);
  const std::size_t i = row % RowsPerBlock;
  std::vector<CellSlot>& all = block.cells;
  const auto first = all.begin() + block.starts[i];
  const auto last = all.begin() + block.starts[i + 1];
  // Cells mostly arrive in column order: try the end first.
  auto it = first != last && (last - 1)->column < column ? last : std::lower_bound(first, last, column, columnBefore);
  if (it != last && it->column == column) return *it;
  if (all.size() == all.capacity()) {
    // Grow by an eighth: a full block keeps little room unused.
    const auto at = it - all.begin();
    all.reserve(all.size() + all.size() / 8 + 16);
    it = all.begin() + at;
  }
  for (std::size_t k = i + 1; k <= RowsPerBlock; ++k) ++block.starts[k];
  CellSlot fresh;
  fresh.column = static_cast<std::uint8_t>(column);
  ++count_;
  return *all.insert(it, fresh);
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
