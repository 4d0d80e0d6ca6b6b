// Cell storage of a worksheet, kept small because a logger fills whole
// sheets: 12-byte slots, each row's sorted by column. Text is an index into
// the shared string table or into the sheet's own text list, so a cell holds
// no heap memory of its own. Rows live in blocks of RowsPerBlock, a block's
// slots in one array, row after row. Copies of the store share their blocks
// until one of them writes into a block (then it clones that block alone):
// a save's snapshot costs one pointer per block. CellsView shows the cells
// as (row << 8 | column, Cell) pairs in row/column order.
#pragma once

#include "sheet/xls/shared.h"
#include "sheet/xls/sst.h"
#include "sheet/xls/value.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kestrune::xls {

struct Cell {
  Value value;
  std::uint16_t xf = 15;
  bool formula = false;  // the value is a formula's cached result
};

enum class CellKind : std::uint8_t { Empty, SharedText, LocalText, Number, Date, Bool, Error };

struct CellSlot {
  std::uint8_t column = 0;
  std::uint8_t kind : 3 = 0;      // CellKind
  std::uint8_t dateKind : 2 = 0;  // DateKind of a Date
  std::uint8_t formula : 1 = 0;   // a formula's cached result
  std::uint8_t written : 1 = 0;   // set by an edit: saved from the slot, not from the file's record
  std::uint8_t grouped : 1 = 0;   // uses a shared, array or table formula (FormulaGroups)
  std::uint16_t xf = 0;
  std::uint32_t payload[2] = {0, 0};  // a double's bits, or a text index / flag / error code in [0]

  CellKind cellKind() const { return static_cast<CellKind>(kind); }
  double number() const;
  void setNumber(double v);
  std::uint32_t index() const { return payload[0]; }
};
static_assert(sizeof(CellSlot) == 12);

class CellStore {
public:
  static constexpr std::size_t RowsPerBlock = 64;

  const CellSlot* find(std::uint32_t row, std::uint32_t column) const;
  // The slot to write, its block made this store's own; null where no cell is.
  CellSlot* find(std::uint32_t row, std::uint32_t column);
  // The slot at a position, made empty (all fields zero but the column) when new.
  CellSlot& slot(std::uint32_t row, std::uint32_t column);
  std::size_t size() const { return count_; }
  // Rows 0 .. rowCount() - 1 may hold cells; a row's slots are sorted by column.
  std::size_t rowCount() const { return rowCount_; }
  std::span<const CellSlot> row(std::size_t r) const {
    const Block* block = blocks_[r / RowsPerBlock].get();
    if (!block) return {};
    const std::size_t i = r % RowsPerBlock;
    return std::span<const CellSlot>(block->cells).subspan(block->starts[i], block->starts[i + 1] - block->starts[i]);
  }

  // Text of LocalText cells (LABEL, RSTRING, formula results).
  std::uint32_t addText(std::string text);
  const std::string& text(std::uint32_t index) const { return texts_[index]; }

  // How many blocks this store shares with a copy (for tests).
  std::size_t sharedBlocks() const;

private:
  struct Block {
    std::vector<CellSlot> cells;  // the block's rows one after another
    // Row i of the block is cells[starts[i], starts[i + 1]); at most
    // RowsPerBlock x MaxColumns slots.
    std::array<std::uint16_t, RowsPerBlock + 1> starts{};
  };

  // The block of a row, to write: cloned first when a copy shares it.
  Block& ownBlock(std::uint32_t row);

  std::vector<std::shared_ptr<Block>> blocks_;  // rows by number, up to the last row used
  std::size_t rowCount_ = 0;
  ChunkedVector<std::string, 256> texts_;
  std::size_t count_ = 0;
};

// The value a slot holds; strings come from `sst` or the store's texts.
Cell cellOf(const CellSlot& slot, const CellStore& store, const SstStrings& sst);

// Read-only view of a worksheet's cells. Iterators hold the current cell
// built from its slot; a reference from * or -> lasts until the iterator
// moves or goes.
class CellsView {
public:
  using value_type = std::pair<std::uint32_t, Cell>;

  class iterator {
  public:
    using iterator_category = std::input_iterator_tag;
    using value_type = CellsView::value_type;
    using difference_type = std::ptrdiff_t;
    using pointer = const value_type*;
    using reference = const value_type&;

    iterator() = default;
    reference operator*() const { return *current_; }
    pointer operator->() const { return &*current_; }
    iterator& operator++();
    bool operator==(const iterator& other) const { return row_ == other.row_ && index_ == other.index_; }

  private:
    friend class CellsView;
    iterator(const CellsView& view, std::size_t row, std::size_t index);
    void settle();

    const CellStore* store_ = nullptr;
    const SstStrings* sst_ = nullptr;
    std::size_t row_ = 0;
    std::size_t index_ = 0;
    std::optional<value_type> current_;
  };
  using const_iterator = iterator;

  CellsView(const CellStore& store, const SstStrings& sst) : store_(&store), sst_(&sst) {}

  iterator begin() const { return iterator(*this, 0, 0); }
  iterator end() const { return iterator(*this, store_->rowCount(), 0); }
  // The cell at row << 8 | column, or end().
  iterator find(std::uint32_t key) const;
  std::size_t size() const { return store_->size(); }
  bool empty() const { return store_->size() == 0; }

private:
  const CellStore* store_;
  const SstStrings* sst_;
};

}  // namespace kestrune::xls
