// Adding a worksheet to a loaded workbook. The new sheet's substream is
// appended to the stream as read, so that it is laid out and saved like any
// other sheet; a BOUNDSHEET names it among the globals. Sheets are numbered
// by their place, so whatever holds a sheet's number (local names, the
// references between sheets, the revision tab ids, the active sheet) moves
// with the sheets behind the new one.
#include "sheet/xls/cfb_internal.h"
#include "sheet/xls/text.h"
#include "sheet/xls/workbook.h"
#include "sheet/xls/workbook_layout.h"

#include <algorithm>

namespace kestrune::xls {

namespace {

constexpr std::uint16_t NameRecord = 0x0018;
constexpr std::uint16_t ExternSheetRecord = 0x0017;
constexpr std::uint16_t SupBookRecord = 0x01AE;
// NAME: the sheet a local name belongs to, 1-based (0 for a global name).
constexpr std::size_t NameSheetAt = 8;
// SUPBOOK of the workbook itself: its sheet count, then this marker.
constexpr std::size_t SupBookSheetsAt = 0;
constexpr std::size_t SupBookMarkerAt = 2;
constexpr std::uint16_t SelfReference = 0x0401;
// EXTERNSHEET: a count, then per entry the SUPBOOK and the first and last sheet.
constexpr std::size_t ExternEntriesAt = 2;
constexpr std::size_t ExternEntrySize = 6;

char16_t foldCase(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool sameName(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return foldCase(x) == foldCase(y); });
}

// A sheet number that moves when a sheet is added after `after`.
void shiftSheetNumber(Bytes& body, std::size_t at, std::size_t after, std::size_t base) {
  const std::uint16_t n = getU16(body, at);
  if (n >= 0xFFFE || n < base) return;  // special values and no sheet
  if (n - base > after) setU16(body, at, static_cast<std::uint16_t>(n + 1));
}

}  // namespace

XlsStatus Workbook::checkNewSheetName(std::string_view name) const {
  const std::u16string wide = utf8ToUtf16(name);
  if (wide.empty() || wide.size() > MaxSheetName)
    return xlsFail(XlsErrorCode::BadSheetName, "a sheet name has 1 to 31 characters");
  if (wide.find_first_of(u"[]:*?/\\") != std::u16string::npos)
    return xlsFail(XlsErrorCode::BadSheetName, "a sheet name cannot hold any of []:*?/\\");
  for (const Sheet& sheet : sheets_)
    if (sameName(utf8ToUtf16(sheet.name), wide))
      return xlsFail(XlsErrorCode::BadSheetName, "the workbook has a sheet \"" + sheet.name + "\" already");
  return {};
}

// Local names, the references between sheets of this workbook and the
// revision tab ids follow the sheets behind `after`. Everything is checked
// before anything changes.
XlsStatus Workbook::renumberSheetsAfter(std::size_t after) {
  std::optional<std::size_t> self;
  std::size_t supBooks = 0;
  for (std::size_t i = 0; i < globals_.size(); ++i) {
    const Record& r = globals_[i];
    if (r.id == SupBookRecord) {
      if (r.body.size() == 4 && getU16(r.body, SupBookMarkerAt) == SelfReference) self = supBooks;
      ++supBooks;
    }
    // A reference list carried on in CONTINUE records is not rewritten here.
    if (r.id == ExternSheetRecord && i + 1 < globals_.size() && globals_[i + 1].id == rid::Continue)
      return xlsFail(XlsErrorCode::TooManySheets, "the workbook's sheet references are too many to renumber");
  }
  const bool last = after + 1 >= sheets_.size();
  for (Record& r : globals_.mutate()) {
    if (r.id == SupBookRecord && r.body.size() == 4 && getU16(r.body, SupBookMarkerAt) == SelfReference)
      setU16(r.body, SupBookSheetsAt, static_cast<std::uint16_t>(sheets_.size() + 1));
    if (last) continue;
    if (r.id == NameRecord && r.body.size() >= NameSheetAt + 2) shiftSheetNumber(r.body, NameSheetAt, after, 1);
    if (r.id == ExternSheetRecord && self && r.body.size() >= ExternEntriesAt) {
      const std::size_t count =
          std::min<std::size_t>(getU16(r.body, 0), (r.body.size() - ExternEntriesAt) / ExternEntrySize);
      for (std::size_t e = 0; e < count; ++e) {
        const std::size_t at = ExternEntriesAt + e * ExternEntrySize;
        if (getU16(r.body, at) != *self) continue;
        shiftSheetNumber(r.body, at + 2, after, 0);
        shiftSheetNumber(r.body, at + 4, after, 0);
      }
    }
  }
  // RRTABID: one id per sheet, in sheet order; the new sheet gets an unused one.
  for (Record& r : globals_.mutate()) {
    if (r.id != rid::RrTabId || r.body.size() != 2 * sheets_.size()) continue;
    std::uint16_t highest = 0;
    for (std::size_t k = 0; k < sheets_.size(); ++k) highest = std::max(highest, getU16(r.body, 2 * k));
    Bytes id;
    putU16(id, static_cast<std::uint16_t>(highest + 1));
    r.body.insert(r.body.begin() + static_cast<std::ptrdiff_t>(2 * (after + 1)), id.begin(), id.end());
  }
  return {};
}

XlsResult<std::size_t> Workbook::addWorksheet(std::size_t after, std::string_view name) {
  if (after >= sheets_.size())
    return xlsFail(XlsErrorCode::NoSuchSheet, "no sheet number " + std::to_string(after + 1));
  if (sheets_.size() >= MaxSheets)
    return xlsFail(XlsErrorCode::TooManySheets,
                   "the workbook has " + std::to_string(sheets_.size()) + " sheets, the most it may have");
  if (auto st = checkNewSheetName(name); !st) return st.error();
  Bytes substream;
  appendEmptyWorksheet(substream, false);
  if (stream_.size() + substream.size() > cfbconst::MaxStreamSize)
    return xlsFail(XlsErrorCode::TooLargeToSave, "the workbook is too large to save");
  auto split = indexRecords(substream);
  if (!split) return split.error();
  if (auto st = renumberSheetsAfter(after); !st) return st.error();

  // The substream goes after the stream as read; its records are found
  // through their own entries, wherever they lie.
  const auto base = static_cast<std::uint32_t>(stream_.size());
  Bytes& stream = stream_.mutate();
  stream.insert(stream.end(), substream.begin(), substream.end());
  Sheet sheet;
  sheet.name = std::string(name);
  sheet.firstRecord = records_.size();
  std::vector<RecordRef>& records = records_.mutate();
  for (RecordRef ref : split.value()) {
    ref.offset += base;
    records.push_back(ref);
  }
  sheet.endRecord = records_.size();

  Bytes boundSheet;
  putU32(boundSheet, 0);  // the position, set by the save
  putU8(boundSheet, 0);   // visible
  putU8(boundSheet, BoundSheetRecord::Worksheet);
  appendBiffString(boundSheet, utf8ToUtf16(name), true);
  const std::size_t at = sheets_[after].boundSheetRecord + 1;
  std::vector<Record>& globals = globals_.mutate();
  globals.insert(globals.begin() + static_cast<std::ptrdiff_t>(at), Record{rid::BoundSheet, boundSheet, 0});
  for (Sheet& other : sheets_)
    if (other.boundSheetRecord >= at) ++other.boundSheetRecord;
  sheet.boundSheetRecord = at;

  const std::size_t index = after + 1;
  sheets_.insert(sheets_.begin() + static_cast<std::ptrdiff_t>(index), std::move(sheet));
  Sheet& added = sheets_[index];
  if (auto st = readCells(added); !st) return st.error();
  readColumns(added);
  if (activeSheet_ >= index) {
    ++activeSheet_;
    activeSheetChanged_ = true;
  }
  return index;
}

XlsStatus Workbook::copyRows(std::size_t from, std::size_t to, std::uint32_t rows) {
  if (auto st = checkWorksheetCell(from, 0, 0); !st) return st;
  if (auto st = checkWorksheetCell(to, 0, 0); !st) return st;
  if (from == to) return {};
  rows = std::min(rows, MaxRows);
  const CellStore& source = sheets_[from].cells;
  std::vector<std::pair<std::uint32_t, CellSlot>> copied;
  for (std::uint32_t row = 0; row < rows && row < source.rowCount(); ++row) {
    for (CellSlot slot : source.row(row)) {
      // Text of the sheet's own store goes into the shared table.
      shareLocalText(sheets_[from].cells, slot);
      slot.formula = 0;
      slot.grouped = 0;
      slot.written = 1;
      copied.emplace_back(row, slot);
    }
  }
  Sheet& target = sheets_[to];
  for (const auto& [row, slot] : copied) target.cells.slot(row, slot.column) = slot;
  if (!copied.empty()) target.written = true;
  return {};
}

}  // namespace kestrune::xls
