// Shared formulas, array formulas and data tables of a worksheet: one formula
// stored once for a range of cells. The FORMULA record of the host cell is
// followed by SHRFMLA, ARRAY or TABLE; every cell using the formula, the host
// included, has a FORMULA record whose tokens are a single PtgExp (PtgTbl for
// a table) naming the host. Found while a sheet's cells are read; consulted
// when one of their cells is written and when such a sheet is saved.
#pragma once

#include "sheet/xls/bytes.h"
#include "sheet/xls/cell_store.h"
#include "sheet/xls/records.h"

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

namespace kestrune::xls {

enum class FormulaGroupKind : std::uint8_t { Shared, Array, Table };

struct FormulaGroup {
  FormulaGroupKind kind = FormulaGroupKind::Shared;
  std::uint32_t host = 0;            // row << 8 | column of the host cell
  std::uint32_t record = 0;          // the SHRFMLA, ARRAY or TABLE record: index among the sheet's records
  std::vector<std::uint32_t> cells;  // cells using the formula (row << 8 | column), host included, ascending
  bool released = false;             // an array or table taken apart by a write: its cells hold plain values
};

// The group kind a record following a FORMULA starts, if any. `bodySize`
// must hold the record's fixed fields, or the record starts nothing.
std::optional<FormulaGroupKind> groupKindOf(std::uint16_t id, std::size_t bodySize);

// The host a FORMULA body names when its tokens are one PtgExp or PtgTbl.
struct FormulaReference {
  std::uint32_t host = 0;  // row << 8 | column
  bool table = false;      // PtgTbl (a data table) rather than PtgExp
};
std::optional<FormulaReference> formulaReference(ByteView formulaBody);
// Makes the PtgExp or PtgTbl of a FORMULA body name another host.
void setFormulaReference(Bytes& formulaBody, std::uint32_t host);

class FormulaGroups {
public:
  // While reading: a FORMULA at `cell` followed by a SHRFMLA, ARRAY or TABLE
  // (`record`), and a FORMULA at `cell` whose tokens name a host.
  void addHost(FormulaGroupKind kind, std::uint32_t cell, std::uint32_t record);
  void addReference(std::uint32_t cell, FormulaReference reference);
  // After reading: pairs references with their hosts. References to no host
  // (or to a host of the other kind) belong to no group.
  void finish();

  bool empty() const { return groups_.empty(); }
  const std::vector<FormulaGroup>& groups() const { return groups_; }
  // The group a cell belongs to, or nullptr.
  FormulaGroup* groupOf(std::uint32_t cell);

private:
  std::vector<FormulaGroup> groups_;
  std::vector<std::pair<std::uint32_t, FormulaReference>> references_;  // until finish()
  std::unordered_map<std::uint32_t, std::uint32_t> groupOfCell_;
};

// What a save changes in the formula groups of a sheet with written cells.
// A shared formula some of whose cells were written moves to the first cell
// still using it: that cell's FORMULA gets the SHRFMLA, whose range shrinks
// to the remaining cells, and their PtgExp tokens name the new host. The
// ARRAY or TABLE of a released group goes with its formula.
struct FormulaGroupEdits {
  std::vector<std::uint32_t> droppedRecords;                  // SHRFMLA/ARRAY/TABLE records left out, ascending
  std::unordered_map<std::uint32_t, std::uint32_t> retarget;  // cell -> the host its token must name
  std::unordered_map<std::uint32_t, Record> sharedAfter;      // host cell -> the SHRFMLA following its FORMULA

  bool empty() const { return droppedRecords.empty(); }
  bool dropped(std::uint32_t record) const;
};

FormulaGroupEdits planFormulaGroupEdits(const FormulaGroups& groups, const CellStore& cells, ByteView stream,
                                        std::span<const RecordRef> records);

}  // namespace kestrune::xls
