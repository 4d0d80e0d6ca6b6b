// A BIFF8 .xls workbook loaded for editing. Every record and every other
// stream of the file is kept as read; saving rewrites only what edits touched
// (written cells, ROW, DIMENSIONS, the shared strings, sheet offsets, number
// formats for dates, cell formats for fills, the view records), so content the engine does not model
// (formatting, formulas, charts, merged cells, comments, properties) survives.
#pragma once

#include "sheet/xls/biff_crypt.h"
#include "sheet/xls/cell_fill.h"
#include "sheet/xls/cell_store.h"
#include "sheet/xls/cfb.h"
#include "sheet/xls/formula_groups.h"
#include "sheet/xls/records.h"
#include "sheet/xls/shared.h"
#include "sheet/xls/sst.h"
#include "sheet/xls/value.h"

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kestrune::xls {

constexpr std::uint32_t MaxRows = 65536;
constexpr std::uint32_t MaxColumns = 256;
// The most sheets a workbook may have here.
constexpr std::size_t MaxSheets = 1024;
// A sheet name's longest length, in UTF-16 characters.
constexpr std::size_t MaxSheetName = 31;
// The largest file the engine opens.
constexpr std::uint64_t MaxFileSize = 512ull * 1024 * 1024;

enum class SheetKind { Worksheet, MacroSheet, Chart, VbaModule, Other };

struct SheetLayout;  // what a save writes for one sheet (workbook_layout.h)
struct GlobalsOut;   // the globals a save writes, with the positions it patches (workbook_layout.h)
struct GlobalsInsertion;

// The COLINFO width (1/256 of the standard font's '0') of a column that
// shows `characters` digits: the digits and the cell margins, which
// spreadsheet programs count as five pixels beside a '0' of seven. At most
// 255 characters.
std::uint16_t columnWidthForCharacters(int characters);

struct CellPosition {
  std::uint16_t row = 0;
  std::uint16_t column = 0;
  bool operator==(const CellPosition&) const = default;
};

class Workbook {
public:
  // A new workbook with one empty worksheet "Sheet1".
  static Workbook createEmpty();
  static XlsResult<Workbook> open(const std::string& path);
  static XlsResult<Workbook> fromBytes(ByteView file);

  std::size_t sheetCount() const { return sheets_.size(); }
  const std::string& sheetName(std::size_t sheet) const { return sheets_[sheet].name; }
  SheetKind sheetKind(std::size_t sheet) const { return sheets_[sheet].kind; }
  std::optional<std::size_t> findSheet(std::string_view name) const;
  bool date1904() const { return date1904_; }

  // The cell at a position; an absent cell is Empty with the default XF.
  XlsResult<Cell> cell(std::size_t sheet, std::uint32_t row, std::uint32_t column) const;
  // Cells of a worksheet by position (row << 8 | column), in that order.
  // Iterators of the view are valid until the workbook changes.
  CellsView cells(std::size_t sheet) const { return CellsView(sheets_[sheet].cells, sst_); }

  // Writes a value. Text is stored as text as given (use parseTyped for typed
  // input); a date/time gets a date format; Empty clears the value and keeps
  // the cell's formatting. Fails outside 65,536 x 256 and on sheets that are
  // not worksheets. Writing a cell of a shared formula leaves the formula in
  // its other cells; writing a cell of an array formula or data table removes
  // that formula, and its other cells keep their last results as values.
  XlsStatus setCell(std::size_t sheet, std::uint32_t row, std::uint32_t column, const Value& value);

  // Fills a cell solid with the workbook's colour nearest to `colour`. The
  // cell gets a format of its own: a copy of its XF with that fill, added
  // once per XF and colour after the file's XFs, which stay as they are; the
  // number format, font, borders and alignment stay. An empty cell becomes a
  // BLANK with it. True when the cell changed; a cell filled so already
  // stays as it is. A cell holding a formula is refused: its record is kept
  // as read. A rich-text cell (RSTRING) keeps its text, not its runs.
  XlsResult<bool> fillCell(std::size_t sheet, std::uint32_t row, std::uint32_t column, Rgb colour);
  // The colour of an XF's solid fill; none for an XF without one.
  std::optional<Rgb> solidFillOf(std::uint16_t xf) const;
  // Whether an XF's number format shows fractions of a second.
  bool showsSecondFractions(std::uint16_t xf) const;

  // Column widths of a worksheet, in 1/256 of the width of the standard
  // font's '0' with the cell margins, as COLINFO records hold them. The
  // width a COLINFO gives the column; none where the sheet's default applies.
  std::optional<std::uint16_t> columnWidth(std::size_t sheet, std::uint32_t column) const;
  // The width of columns without a COLINFO: STANDARDWIDTH, else DEFCOLWIDTH.
  std::uint16_t defaultColumnWidth(std::size_t sheet) const { return sheets_[sheet].defaultColumnWidth; }
  // Makes the column at least `width` wide. A wider column and a hidden one
  // stay as they are; a column inside a COLINFO range gets a range of its
  // own, the rest of the range keeps its width. True when the column changed.
  XlsResult<bool> ensureColumnWidth(std::size_t sheet, std::uint32_t column, std::uint16_t width);

  // Adds an empty worksheet called `name` right after sheet `after` and
  // returns its number; the sheets after it move up by one (the active
  // sheet, local names and the references between sheets follow them).
  // Refused past MaxSheets, for a name that is empty, too long, holds one
  // of []:*?/\ or is in use (compared case-blind), and when references of
  // a form the engine does not rewrite would have to move.
  XlsResult<std::size_t> addWorksheet(std::size_t after, std::string_view name);
  // Copies the cells of the first `rows` rows of worksheet `from` into
  // worksheet `to`: values with their formats; a formula's last result as a
  // value.
  XlsStatus copyRows(std::size_t from, std::size_t to, std::uint32_t rows);

  std::size_t activeSheet() const { return activeSheet_; }
  XlsStatus setActiveSheet(std::size_t sheet);
  CellPosition activeCell(std::size_t sheet) const { return sheets_[sheet].activeCell; }
  XlsStatus setActiveCell(std::size_t sheet, std::uint32_t row, std::uint32_t column);

  // The whole compound file with the rebuilt Workbook stream.
  XlsResult<Bytes> toBytes() const;
  // The same bytes written to `out` as they are made.
  XlsStatus writeTo(ByteSink& out) const;
  // Writes a temporary file beside `path`, syncs it and renames it over
  // `path`; on failure the old file is left as it was.
  XlsStatus save(const std::string& path) const;

private:
  struct Sheet {
    std::string name;
    SheetKind kind = SheetKind::Worksheet;
    std::size_t boundSheetRecord = 0;  // index in globals_
    std::size_t firstRecord = 0;       // BOF .. EOF: records_[firstRecord, endRecord)
    std::size_t endRecord = 0;
    CellStore cells;
    FormulaGroups formulas;
    bool written = false;  // setCell wrote cells: the cell area is re-laid on save
    CellPosition activeCell;
    bool activeCellChanged = false;
    // The bodies of the COLINFO records of the sheet's own substream, in
    // order; a save writes them in place of the records read once they changed.
    std::vector<Bytes> columns;
    bool columnsChanged = false;
    std::uint16_t defaultColumnWidth = 0;
  };

  Workbook() = default;
  XlsStatus load(ByteView file);
  XlsStatus loadCompound(CompoundFile&& file);
  XlsStatus loadStream(bool cutShort);
  XlsStatus loadGlobals();
  XlsStatus loadSheet(Sheet& sheet, std::size_t first);
  XlsStatus checkNewSheetName(std::string_view name) const;
  XlsStatus renumberSheetsAfter(std::size_t after);
  XlsStatus readCells(Sheet& sheet);
  void readColumns(Sheet& sheet);
  std::optional<DateKind> dateKindOfXf(std::uint16_t xf) const;
  XlsResult<std::uint16_t> dateXf(std::uint16_t baseXf, DateKind kind, bool milliseconds);
  XlsResult<std::uint16_t> filledXf(std::uint16_t baseXf, std::uint8_t colour);
  XlsStatus checkWorksheetCell(std::size_t sheet, std::uint32_t row, std::uint32_t column) const;
  std::uint32_t internString(const std::string& utf8);
  void releaseFormulaGroup(Sheet& sheet, std::uint32_t cell);
  void shareLocalText(const CellStore& cells, CellSlot& slot);
  std::uint16_t defaultXf() const;
  std::span<const RecordRef> records(const Sheet& sheet) const {
    return std::span<const RecordRef>(records_.get()).subspan(sheet.firstRecord, sheet.endRecord - sheet.firstRecord);
  }

  // Saving (workbook_layout.cpp, workbook_save.cpp).
  SheetLayout layoutSheet(std::size_t index) const;
  void applyView(std::size_t index, SheetLayout& layout) const;
  void applyColumns(std::size_t index, SheetLayout& layout) const;
  GlobalsOut buildGlobals(std::uint32_t totalRefs) const;
  bool copyGlobal(std::size_t& i, std::uint32_t totalRefs, GlobalsOut& out) const;
  void insertNewFormatsAndXfs(std::size_t i, const GlobalsInsertion& at, GlobalsOut& out) const;

  // A copy of a workbook (a save's snapshot) shares the stream, the record
  // index, the globals, the cells (by blocks of rows) and the shared strings
  // (by chunks) with the workbook it came from; what either of them writes
  // afterwards is its own.
  CompoundFile cfb_;
  std::u16string streamName_ = u"Workbook";
  SharedBytes stream_;                      // the Workbook stream as read; cfb_ holds no copy
  Shared<std::vector<RecordRef>> records_;  // every record of stream_
  Shared<std::vector<Record>> globals_;
  std::vector<Sheet> sheets_;
  SstStrings sst_;
  SstIndex sstIndex_;
  bool sstChanged_ = false;
  std::map<std::uint16_t, std::string> formats_;
  std::vector<Bytes> xfs_;  // XF bodies, existing then new
  std::size_t originalXfCount_ = 0;
  std::vector<Record> newFormats_;
  std::map<std::tuple<std::uint16_t, DateKind, bool>, std::uint16_t> dateXfs_;  // (base XF, kind, ms): the date XF
  std::map<std::pair<std::uint16_t, std::uint8_t>, std::uint16_t> filledXfs_;   // (base XF, colour): the filled XF
  Palette palette_ = defaultPalette();
  bool date1904_ = false;
  // Workbooks encrypted with the default password: read decrypted, saved
  // encrypted again under the FILEPASS they came with.
  std::optional<BiffCipher> cipher_;
  std::size_t activeSheet_ = 0;
  bool activeSheetChanged_ = false;
};

}  // namespace kestrune::xls
