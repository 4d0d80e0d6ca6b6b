// Laying out a sheet for saving. Sheets without written cells keep every
// record; sheets with written cells get their cell area laid out again
// (workbook_cell_area.cpp). Then the view records: WINDOW2 marks the active
// sheet, SELECTION holds the active cell.
#include "sheet/xls/sheet_records.h"
#include "sheet/xls/workbook.h"
#include "sheet/xls/workbook_layout.h"

namespace kestrune::xls {

namespace {

constexpr std::size_t None = static_cast<std::size_t>(-1);

// Where the view records of a sheet's layout are (None where missing), and
// the active pane, whose SELECTION holds the active cell.
struct ViewRecords {
  std::size_t window2 = None;
  std::size_t selection = None;
  std::size_t eof = None;
  std::uint8_t pane = SelectionRecord::TopLeftPane;
};

// The first WINDOW2, the PANE and the active pane's SELECTION of the sheet's
// own substream, and its EOF.
ViewRecords findViewRecords(const std::vector<LayoutItem>& items, const ItemReader& reader) {
  ViewRecords view;
  int depth = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (isRowOrCellItem(items[i])) continue;
    const std::uint16_t id = reader.id(items[i]);
    if (id == rid::Bof) ++depth;
    const bool top = depth == 1;
    if (id == rid::Eof && --depth == 0) view.eof = i;
    if (!top) continue;
    const ByteView body = reader.body(items[i]);
    if (id == rid::Window2 && view.window2 == None && body.size() >= Window2Record::FlagsAt + 2) {
      view.window2 = i;
    } else if (id == rid::Pane && body.size() >= PaneRecord::MinSize) {
      view.pane = body[PaneRecord::ActivePaneAt];
    } else if (id == rid::Selection && !body.empty() && body[SelectionRecord::PaneAt] == view.pane) {
      view.selection = i;
    }
  }
  return view;
}

// The sheet's WINDOW2 with the active sheet's flags set or cleared.
Record window2Marked(ByteView read, bool active) {
  Record window2{rid::Window2, Bytes(read.begin(), read.end()), 0};
  const std::uint16_t flags = getU16(window2.body, Window2Record::FlagsAt);
  setU16(window2.body, Window2Record::FlagsAt,
         active ? flags | Window2Record::ActiveSheet : flags & ~Window2Record::ActiveSheet);
  return window2;
}

// A WINDOW2 for a sheet that has none. The unused field at offset 8 has
// always carried the grid colour as well here; it stays so saved files do
// not change.
Record newWindow2(bool active) {
  Window2Record fields;
  fields.flags = active ? Window2Record::DefaultFlags | Window2Record::ActiveSheet : Window2Record::DefaultFlags;
  fields.unused = Window2Record::WindowTextColour;
  const auto body = window2Body(fields);
  return Record{rid::Window2, Bytes(body.begin(), body.end()), 0};
}

Record newSelection(std::uint8_t pane, CellPosition activeCell) {
  const auto body = selectionBody({pane, activeCell.row, activeCell.column});
  return Record{rid::Selection, Bytes(body.begin(), body.end()), 0};
}

// Where a new SELECTION goes: after WINDOW2 and the view records that
// follow it (PANE, SCL, PLV, other SELECTIONs), before EOF.
std::size_t selectionPlace(const std::vector<LayoutItem>& items, const ItemReader& reader, const ViewRecords& view) {
  std::size_t at = view.window2 + 1;
  auto isViewRecord = [&](std::size_t i) {
    if (isRowOrCellItem(items[i])) return false;
    const std::uint16_t id = reader.id(items[i]);
    return id == rid::Pane || id == rid::Scl || id == rid::Plv || id == rid::Selection;
  };
  while (at < view.eof && isViewRecord(at)) ++at;
  return at;
}

}  // namespace

SheetLayout Workbook::layoutSheet(std::size_t index) const {
  const Sheet& sheet = sheets_[index];
  SheetLayout layout;
  if (sheet.written) {
    layoutCellArea(CellAreaSource{records(sheet), stream_, sheet.cells, sheet.formulas}, layout);
  } else {
    const auto recs = records(sheet);
    layout.items.reserve(recs.size() + 2);
    for (std::size_t i = 0; i < recs.size(); ++i) layout.items.push_back(sheetRecordItem(recs, i));
  }
  if (sheet.columnsChanged) applyColumns(index, layout);
  applyView(index, layout);
  return layout;
}

// WINDOW2 flags the active sheet when it changed; a worksheet without
// WINDOW2 gets one when it needs it. A changed active cell replaces the
// active pane's SELECTION or comes in a new one.
void Workbook::applyView(std::size_t index, SheetLayout& layout) const {
  const Sheet& sheet = sheets_[index];
  const bool active = index == activeSheet_;
  std::vector<LayoutItem>& items = layout.items;
  const ItemReader reader(stream_, records(sheet), sheet.cells, layout);
  ViewRecords view = findViewRecords(items, reader);
  if (view.window2 != None && activeSheetChanged_)
    items[view.window2] = madeRecordItem(layout, window2Marked(reader.body(items[view.window2]), active));
  if (view.eof == None || sheet.kind != SheetKind::Worksheet) return;
  if (view.window2 == None && ((active && activeSheetChanged_) || sheet.activeCellChanged)) {
    const LayoutItem window2 = madeRecordItem(layout, newWindow2(active));
    items.insert(items.begin() + static_cast<std::ptrdiff_t>(view.eof), window2);
    view.window2 = view.eof++;
  }
  if (!sheet.activeCellChanged) return;
  const LayoutItem selection = madeRecordItem(layout, newSelection(view.pane, sheet.activeCell));
  if (view.selection != None) {
    items[view.selection] = selection;
    return;
  }
  items.insert(items.begin() + static_cast<std::ptrdiff_t>(selectionPlace(items, reader, view)), selection);
}

}  // namespace kestrune::xls
