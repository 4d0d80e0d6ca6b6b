#include "sheet/xls/formula_groups.h"

#include "sheet/xls/sheet_records.h"

#include <algorithm>

namespace kestrune::xls {

namespace {

constexpr std::uint8_t PtgExp = 0x01;
constexpr std::uint8_t PtgTbl = 0x02;
constexpr std::size_t ReferenceTokenSize = 5;  // ptg, row u16, column u16

// Fixed fields before the formula tokens (SHRFMLA, ARRAY) or in all (TABLE).
constexpr std::size_t ShrFmlaFixed = 10;  // RefU, reserved, cUse, cce
constexpr std::size_t ArrayFixed = 14;    // RefU, grbit, chn, cce
constexpr std::size_t TableFixed = 16;    // RefU, grbit, two input cells
// SHRFMLA: rwFirst u16, rwLast u16, colFirst u8, colLast u8, reserved u8, cUse u8.
constexpr std::size_t ShrFmlaRowFirstAt = 0;
constexpr std::size_t ShrFmlaRowLastAt = 2;
constexpr std::size_t ShrFmlaColFirstAt = 4;
constexpr std::size_t ShrFmlaColLastAt = 5;
constexpr std::size_t ShrFmlaUseAt = 7;

}  // namespace

std::optional<FormulaGroupKind> groupKindOf(std::uint16_t id, std::size_t bodySize) {
  if (id == rid::ShrFmla && bodySize >= ShrFmlaFixed) return FormulaGroupKind::Shared;
  if (id == rid::Array && bodySize >= ArrayFixed) return FormulaGroupKind::Array;
  if (id == rid::Table && bodySize >= TableFixed) return FormulaGroupKind::Table;
  return std::nullopt;
}

std::optional<FormulaReference> formulaReference(ByteView body) {
  if (body.size() < FormulaRecord::TokensAt + ReferenceTokenSize ||
      getU16(body, FormulaRecord::TokenSizeAt) < ReferenceTokenSize)
    return std::nullopt;
  const std::uint8_t ptg = body[FormulaRecord::TokensAt];
  if (ptg != PtgExp && ptg != PtgTbl) return std::nullopt;
  const std::uint16_t row = getU16(body, FormulaRecord::TokensAt + 1);
  const std::uint16_t col = getU16(body, FormulaRecord::TokensAt + 3);
  if (col > 0xFF) return std::nullopt;
  return FormulaReference{static_cast<std::uint32_t>(row) << 8 | col, ptg == PtgTbl};
}

void setFormulaReference(Bytes& body, std::uint32_t host) {
  setU16(body, FormulaRecord::TokensAt + 1, static_cast<std::uint16_t>(host >> 8));
  setU16(body, FormulaRecord::TokensAt + 3, static_cast<std::uint16_t>(host & 0xFF));
}

void FormulaGroups::addHost(FormulaGroupKind kind, std::uint32_t cell, std::uint32_t record) {
  // A second FORMULA for the same cell cannot host another group.
  if (!groupOfCell_.emplace(cell, static_cast<std::uint32_t>(groups_.size())).second) return;
  FormulaGroup group;
  group.kind = kind;
  group.host = cell;
  group.record = record;
  group.cells.push_back(cell);
  groups_.push_back(std::move(group));
}

void FormulaGroups::addReference(std::uint32_t cell, FormulaReference reference) {
  references_.emplace_back(cell, reference);
}

void FormulaGroups::finish() {
  for (const auto& [cell, reference] : references_) {
    auto host = groupOfCell_.find(reference.host);
    if (host == groupOfCell_.end()) continue;
    FormulaGroup& group = groups_[host->second];
    if (group.host != reference.host || reference.table != (group.kind == FormulaGroupKind::Table)) continue;
    if (groupOfCell_.emplace(cell, host->second).second) group.cells.push_back(cell);
  }
  references_ = {};
  for (FormulaGroup& group : groups_) {
    std::sort(group.cells.begin(), group.cells.end());
    group.cells.erase(std::unique(group.cells.begin(), group.cells.end()), group.cells.end());
  }
}

FormulaGroup* FormulaGroups::groupOf(std::uint32_t cell) {
  auto it = groupOfCell_.find(cell);
  return it == groupOfCell_.end() ? nullptr : &groups_[it->second];
}

bool FormulaGroupEdits::dropped(std::uint32_t record) const {
  return std::binary_search(droppedRecords.begin(), droppedRecords.end(), record);
}

FormulaGroupEdits planFormulaGroupEdits(const FormulaGroups& groups, const CellStore& cells, ByteView stream,
                                        std::span<const RecordRef> records) {
  FormulaGroupEdits edits;
  std::vector<std::uint32_t> remaining;
  for (const FormulaGroup& group : groups.groups()) {
    if (group.released) {
      edits.droppedRecords.push_back(group.record);
      continue;
    }
    if (group.kind != FormulaGroupKind::Shared) continue;
    remaining.clear();
    for (std::uint32_t cell : group.cells) {
      const CellSlot* slot = cells.find(cell >> 8, cell & 0xFF);
      if (slot && !slot->written) remaining.push_back(cell);
    }
    if (remaining.size() == group.cells.size()) continue;
    edits.droppedRecords.push_back(group.record);
    if (remaining.empty()) continue;

    // Cells are in row/column order, so the first remaining cell comes first
    // in the saved sheet too, as the host must.
    const std::uint32_t host = remaining.front();
    std::uint8_t colFirst = 0xFF, colLast = 0;
    for (std::uint32_t cell : remaining) {
      colFirst = std::min(colFirst, static_cast<std::uint8_t>(cell & 0xFF));
      colLast = std::max(colLast, static_cast<std::uint8_t>(cell & 0xFF));
    }
    const ByteView read = records[group.record].body(stream);
    Record shrFmla{rid::ShrFmla, Bytes(read.begin(), read.end()), 0};
    setU16(shrFmla.body, ShrFmlaRowFirstAt, static_cast<std::uint16_t>(remaining.front() >> 8));
    setU16(shrFmla.body, ShrFmlaRowLastAt, static_cast<std::uint16_t>(remaining.back() >> 8));
    shrFmla.body[ShrFmlaColFirstAt] = colFirst;
    shrFmla.body[ShrFmlaColLastAt] = colLast;
    // The use count is one byte; larger ranges saturate.
    shrFmla.body[ShrFmlaUseAt] = static_cast<std::uint8_t>(std::min<std::size_t>(remaining.size(), 0xFF));
    edits.sharedAfter.emplace(host, std::move(shrFmla));
    if (host != group.host)
      for (std::uint32_t cell : remaining) edits.retarget.emplace(cell, host);
  }
  std::sort(edits.droppedRecords.begin(), edits.droppedRecords.end());
  return edits;
}

}  // namespace kestrune::xls
