// .xls files from anywhere: opening never crashes, and a workbook that opens
// can be edited (a few cells, the active sheet and cell), written out and
// opened again with the edits in place.
#include "sheet/xls/workbook.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

namespace {

using namespace kestrune::xls;

[[noreturn]] void failure(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "xls_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

struct Edit {
  std::uint32_t row, column;
  Value value;
};

// A number written into a cell that already has a date format reads back as
// a date with the same serial; anything else must read back as written.
bool sameValue(const Value& got, const Value& written) {
  if (const auto* n = std::get_if<double>(&written)) {
    if (const auto* d = std::get_if<DateTimeValue>(&got)) return d->serial == *n;
  }
  if (const auto* d = std::get_if<DateTimeValue>(&written)) {
    const auto* g = std::get_if<DateTimeValue>(&got);
    return g && g->serial == d->serial;
  }
  return got == written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  XlsResult<Workbook> book = Workbook::fromBytes(ByteView(data, size));
  if (!book) return 0;

  // Read everything the application shows.
  std::size_t worksheet = book->sheetCount();
  for (std::size_t s = 0; s < book->sheetCount(); ++s) {
    for (const auto& [position, cell] : book->cells(s)) {
      if ((position >> 8) >= MaxRows) failure("cell row outside the sheet");
      static_cast<void>(cell);
    }
    static_cast<void>(book->activeCell(s));
    if (worksheet == book->sheetCount() && book->sheetKind(s) == SheetKind::Worksheet) worksheet = s;
  }
  if (worksheet == book->sheetCount()) return 0;

  // Write into the first worksheet: new cells, the last cell of the sheet,
  // and over the first cell the file already has.
  std::vector<Edit> edits = {
      {0, 0, std::string("fuzz \xe6\xb8\xac\xe5\xae\x9a")},
      {65535, 255, 1.5},
      {3, 2, DateTimeValue{45000.5, DateKind::DateTime}},
      {4, 2, DateTimeValue{0.25, DateKind::TimeOnly}},
      {1, 1, true},
      {2, 7, std::string("=SUM(A1)")},
  };
  if (!book->cells(worksheet).empty()) {
    const std::uint32_t first = book->cells(worksheet).begin()->first;
    edits.push_back({first >> 8, first & 0xFF, std::string("over")});
  }
  std::vector<Edit> written;
  for (const Edit& e : edits) {
    // A write may be refused (a cell anchoring a shared formula, no room for
    // another format); only the accepted ones are checked.
    if (book->setCell(worksheet, e.row, e.column, e.value)) written.push_back(e);
  }
  if (!book->setActiveSheet(worksheet)) failure("setActiveSheet refused a worksheet");
  if (!book->setActiveCell(worksheet, 3, 2)) failure("setActiveCell refused a cell inside the sheet");

  XlsResult<Bytes> bytes = book->toBytes();
  if (!bytes) return 0;
  XlsResult<Workbook> again = Workbook::fromBytes(*bytes);
  if (!again) failure("the written workbook does not open again:", again.description());

  if (again->sheetCount() != book->sheetCount()) failure("sheet count changed");
  for (std::size_t s = 0; s < book->sheetCount(); ++s)
    if (again->sheetName(s) != book->sheetName(s)) failure("sheet name changed");
  if (again->activeSheet() != worksheet) failure("active sheet lost");
  if (!(again->activeCell(worksheet) == CellPosition{3, 2})) failure("active cell lost");
  for (const Edit& e : written) {
    // The value each cell holds after all edits (a later edit may overwrite an earlier one).
    const Value expected = book->cell(worksheet, e.row, e.column)->value;
    const XlsResult<Cell> got = again->cell(worksheet, e.row, e.column);
    if (!got || !sameValue(got->value, expected))
      failure("a written cell reads back differently at", std::to_string(e.row) + "," + std::to_string(e.column));
  }
  return 0;
}
