// Helpers for the .xls engine tests: building record streams and compound
// files by hand, temporary folders, and running python3-xlrd as an
// independent reader.
#pragma once

#include "sheet/xls/biff_crypt.h"
#include "sheet/xls/cfb.h"
#include "sheet/xls/records.h"
#include "sheet/xls/workbook.h"

#include <filesystem>
#include <string>
#include <vector>

namespace kestrune::xls::testing {

Bytes recordBytes(std::uint16_t id, const Bytes& body);
Bytes u16s(std::initializer_list<std::uint16_t> values);

// Top-level records of sheet `index` in a saved file (BOF .. EOF).
std::vector<Record> sheetRecords(const Bytes& file, std::size_t index);
// Records of the globals substream of a saved file.
std::vector<Record> globalRecords(const Bytes& file);
// The Workbook stream of a saved file.
Bytes workbookStream(const Bytes& file);
// Records with the given id, in order.
std::vector<Record> withId(const std::vector<Record>& records, std::uint16_t id);

// A Workbook stream from hand-made records: the globals (BOF, XFs, ...,
// without BOUNDSHEET and EOF) and each sheet's records (BOF .. EOF). One
// BOUNDSHEET per sheet is added with the right offset, then the EOF.
struct SheetSpec {
  std::string name;
  std::vector<Record> records;
  std::uint8_t type = 0;
};
Bytes buildWorkbookStream(const std::vector<Record>& globals, const std::vector<SheetSpec>& sheets);
// Globals that readers accept: BOF, CODEPAGE, WINDOW1, FONTs, 16 XFs, STYLE.
std::vector<Record> minimalGlobals();
// A worksheet: BOF, DIMENSIONS, `cells`, WINDOW2, SELECTION, EOF.
std::vector<Record> minimalSheet(const std::vector<Record>& cells, bool withSelection = true);
Record rec(std::uint16_t id, Bytes body);

// A compound file holding `stream` as "Workbook" (or another name).
Bytes wrapInCompoundFile(const Bytes& stream, std::u16string name = u"Workbook");

// The text of EncryptedWorkbook's A3: long enough that the stream spans
// several of the cipher's 1024-byte blocks.
std::string encryptedLongText();
// A workbook whose Workbook stream is encrypted with RC4 of `kind` under
// `password` (FILEPASS after the BOF): sheet "S" with "hello" in A1, 2.5 in
// A2 and encryptedLongText() in A3.
Bytes encryptedWorkbook(BiffCipherKind kind, std::u16string_view password = DefaultWorkbookPassword);

// A fresh empty folder under the system temporary folder, removed on destruction.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

private:
  std::filesystem::path path_;
};

// True when /usr/bin/python3 can import xlrd.
bool haveXlrd();
// Runs a python script with argv[1] = `xlsPath`; returns stdout and the exit status.
struct PythonRun {
  int status = -1;
  std::string output;
};
PythonRun runPython(const std::string& script, const std::string& xlsPath);

// Writes into formula_groups.xls, made by LibreOffice: inputs 1..4 in A1:A4,
// shared formulas B1:B4 (=A1*2) and C1:C4 (="n"&A1, text results), an array
// formula D1:D3 ({=A1:A3*10}), a one-cell array formula E1 ({=SUM(A1:A4)}),
// G1 =A1*3 and a data table G2:G3 over the inputs F2:F3. Each set writes a
// cell of every group and changes an input, so a reader that recalculates
// shows whether the remaining formulas still work.
struct CellWrite {
  std::uint32_t row, col;
  Value value;
};
struct GroupWrites {
  const char* name;
  std::vector<CellWrite> writes;
  std::vector<std::uint32_t> formulaCells;  // row << 8 | column of the cells still holding formulas
  const char* formulas;                     // the sheet as CSV with formulas, as LibreOffice shows it
  const char* values;                       // the sheet as CSV with every formula computed again
};
const std::vector<GroupWrites>& formulaGroupWrites();
// formula_groups.xls (`source`) with one set written, saved as `path`.
void writeFormulaGroups(const std::string& source, const GroupWrites& set, const std::string& path);

// A python script that prints "datemode", per sheet "sheet-info" (name,
// sheet_selected, sheet_visible) and "merged" lines, and per non-blank cell
// "sheet<TAB>row<TAB>col<TAB>type<TAB>value<TAB>format"; numbers and dates
// print as %.17g.
extern const char* const XlrdDumpScript;

}  // namespace kestrune::xls::testing
