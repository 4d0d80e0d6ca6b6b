#include "xls_test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <random>

#include <sys/wait.h>

namespace kestrune::xls::testing {

Bytes recordBytes(std::uint16_t id, const Bytes& body) {
  Bytes out;
  appendRecord(out, id, body);
  return out;
}

Bytes u16s(std::initializer_list<std::uint16_t> values) {
  Bytes b;
  for (std::uint16_t v : values) putU16(b, v);
  return b;
}

Bytes workbookStream(const Bytes& file) {
  auto cf = CompoundFile::parse(file);
  if (!cf) return {};
  const CfbEntry* e = cf->root().child(u"Workbook");
  return e ? e->data : Bytes{};
}

static std::vector<Record> substream(const std::vector<Record>& all, std::size_t first) {
  std::vector<Record> out;
  int depth = 0;
  for (std::size_t i = first; i < all.size(); ++i) {
    if (all[i].id == rid::Bof) ++depth;
    if (all[i].id == rid::Eof) --depth;
    out.push_back(all[i]);
    if (depth == 0) break;
  }
  return out;
}

std::vector<Record> globalRecords(const Bytes& file) {
  auto all = splitRecords(workbookStream(file));
  return all ? substream(all.value(), 0) : std::vector<Record>{};
}

std::vector<Record> sheetRecords(const Bytes& file, std::size_t index) {
  auto all = splitRecords(workbookStream(file));
  if (!all) return {};
  const auto sheets = withId(substream(all.value(), 0), rid::BoundSheet);
  if (index >= sheets.size()) return {};
  const std::uint32_t at = getU32(sheets[index].body, 0);
  for (std::size_t i = 0; i < all->size(); ++i)
    if ((*all)[i].offset == at) return substream(all.value(), i);
  return {};
}

std::vector<Record> withId(const std::vector<Record>& records, std::uint16_t id) {
  std::vector<Record> out;
  for (const Record& r : records)
    if (r.id == id) out.push_back(r);
  return out;
}

Record rec(std::uint16_t id, Bytes body) { return Record{id, std::move(body), 0}; }

static Bytes bofBody(std::uint16_t type) {
  Bytes b = u16s({0x0600, type, 0x0DBB, 0x07CC});
  putU32(b, 0);
  putU32(b, 6);
  return b;
}

std::vector<Record> minimalGlobals() {
  std::vector<Record> g;
  g.push_back(rec(rid::Bof, bofBody(5)));
  g.push_back(rec(0x0042, u16s({1200})));
  g.push_back(rec(rid::Window1, u16s({0, 0, 0x3A5C, 0x23BE, 0x38, 0, 0, 1, 0x258})));
  Bytes font = u16s({200, 0, 0x7FFF, 400, 0, 0});
  font.insert(font.end(), {5, 0, 'A', 'r', 'i', 'a', 'l'});
  for (int i = 0; i < 5; ++i) g.push_back(rec(0x0031, font));
  for (int i = 0; i < 16; ++i) {
    Bytes xf = u16s({0, 0, static_cast<std::uint16_t>(i < 15 ? 0xFFF5 : 0x0001), 0x0020, 0, 0, 0, 0, 0, 0x20C0});
    g.push_back(rec(rid::Xf, xf));
  }
  g.push_back(rec(0x0293, u16s({0x8000, 0xFF00})));
  return g;
}

std::vector<Record> minimalSheet(const std::vector<Record>& cells, bool withSelection) {
  std::vector<Record> s;
  s.push_back(rec(rid::Bof, bofBody(0x10)));
  s.push_back(rec(rid::Dimensions, u16s({0, 0, 0, 0, 0, 0, 0})));
  s.insert(s.end(), cells.begin(), cells.end());
  s.push_back(rec(rid::Window2, u16s({0x06B6, 0, 0, 0x40, 0, 0, 0, 0, 0})));
  if (withSelection) {
    Bytes sel{3};
    for (std::uint16_t v : {0, 0, 0, 1, 0, 0}) putU16(sel, v);
    sel.push_back(0);
    sel.push_back(0);
    s.push_back(rec(rid::Selection, sel));
  }
  s.push_back(rec(rid::Eof, {}));
  return s;
}

Bytes buildWorkbookStream(const std::vector<Record>& globals, const std::vector<SheetSpec>& sheets) {
  Bytes out;
  for (const Record& r : globals) appendRecord(out, r);
  std::vector<std::size_t> patch;
  for (const SheetSpec& s : sheets) {
    Bytes body(4, 0);
    body.push_back(0);
    body.push_back(s.type);
    body.push_back(static_cast<std::uint8_t>(s.name.size()));
    body.push_back(0);
    body.insert(body.end(), s.name.begin(), s.name.end());
    patch.push_back(out.size() + 4);
    appendRecord(out, rid::BoundSheet, body);
  }
  appendRecord(out, rid::Eof, {});
  for (std::size_t i = 0; i < sheets.size(); ++i) {
    setU32(out, patch[i], static_cast<std::uint32_t>(out.size()));
    for (const Record& r : sheets[i].records) appendRecord(out, r);
  }
  return out;
}

std::string encryptedLongText() {
  std::string text;
  for (int i = 0; text.size() < 3000; ++i) text += "reading " + std::to_string(i) + "; ";
  return text;
}

Bytes encryptedWorkbook(BiffCipherKind kind, std::u16string_view password) {
  const std::array<std::uint8_t, 16> salt = {0x5A, 0x11, 0x7E, 0x03, 0xC4, 0x9B, 0x20, 0xD8,
                                             0x46, 0xE1, 0x0F, 0x72, 0xA3, 0x38, 0xBD, 0x65};
  const Bytes filePass = BiffCipher::makeFilePass(kind, salt, password);
  std::vector<Record> globals = minimalGlobals();
  globals.insert(globals.begin() + 1, rec(rid::FilePass, filePass));
  Bytes sst;
  putU32(sst, 2);
  putU32(sst, 2);
  const std::string longText = encryptedLongText();
  for (const std::string& text : {std::string("hello"), longText}) {
    putU16(sst, static_cast<std::uint16_t>(text.size()));
    putU8(sst, 0);
    sst.insert(sst.end(), text.begin(), text.end());
  }
  globals.push_back(rec(rid::Sst, sst));
  std::vector<Record> cells;
  for (std::uint16_t row : {0, 2}) {
    Bytes label = u16s({row, 0, 15});
    putU32(label, row / 2);
    cells.push_back(rec(rid::LabelSst, label));
  }
  Bytes number = u16s({1, 0, 15});
  putF64(number, 2.5);
  cells.push_back(rec(rid::Number, number));
  Bytes stream = buildWorkbookStream(globals, {{"S", minimalSheet(cells)}});
  const std::size_t afterFilePass = recordBytes(rid::Bof, globals[0].body).size() + 4 + filePass.size();
  auto cipher = BiffCipher::open(filePass, password);
  EXPECT_TRUE(cipher.ok()) << cipher.description();
  if (cipher) cipher->apply(stream, afterFilePass);
  return wrapInCompoundFile(stream);
}

Bytes wrapInCompoundFile(const Bytes& stream, std::u16string name) {
  CompoundFile cf;
  CfbEntry e;
  e.name = std::move(name);
  e.data = stream;
  cf.root().children.push_back(std::move(e));
  auto bytes = cf.serialize();
  return bytes ? bytes.value() : Bytes{};
}

TempDir::TempDir() {
  std::random_device rd;
  path_ = std::filesystem::temp_directory_path() / ("kestrune-xls-" + std::to_string(rd()) + std::to_string(rd()));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

PythonRun runPython(const std::string& script, const std::string& xlsPath) {
  TempDir dir;
  const std::string scriptPath = dir.file("script.py");
  std::ofstream(scriptPath) << script;
  const std::string command = "/usr/bin/python3 '" + scriptPath + "' '" + xlsPath + "' 2>&1";
  PythonRun run;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return run;
  std::array<char, 4096> buf{};
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) run.output.append(buf.data(), n);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

bool haveXlrd() {
  static const bool have = [] {
    if (!std::filesystem::exists("/usr/bin/python3")) return false;
    return runPython("import xlrd\n", "").status == 0;
  }();
  return have;
}

const std::vector<GroupWrites>& formulaGroupWrites() {
  constexpr auto at = [](std::uint32_t row, std::uint32_t col) { return row << 8 | col; };
  static const std::vector<GroupWrites> sets = {
      // Hosts B1 (shared), E1 (one-cell array) and G2 (table); D2 of the array; C3 of the text shared formula.
      {"hosts",
       {{0, 1, 100.0}, {2, 2, std::string("x")}, {1, 3, 100.0}, {0, 4, 100.0}, {1, 6, 100.0}, {1, 0, 20.0}},
       {at(1, 1), at(2, 1), at(3, 1), at(0, 2), at(1, 2), at(3, 2), at(0, 6)},
       "1,100,\"=\"\"n\"\"&A1\",10,100,,=A1*3\n"
       "20,=A2*2,\"=\"\"n\"\"&A2\",100,,5,100\n"
       "3,=A3*2,x,30,,7,21\n"
       "4,=A4*2,\"=\"\"n\"\"&A4\",,,,\n",
       "1,100,n1,10,100,,3\n20,40,n20,100,,5,100\n3,6,x,30,,7,21\n4,8,n4,,,,\n"},
      // B2 of a shared formula; hosts C1 (shared, text results) and D1 (array); G3 of the table.
      {"members",
       {{1, 1, 100.0}, {0, 2, std::string("x")}, {0, 3, 100.0}, {2, 6, 100.0}, {2, 0, 30.0}},
       {at(0, 1), at(2, 1), at(3, 1), at(1, 2), at(2, 2), at(3, 2), at(0, 4), at(0, 6)},
       "1,=A1*2,x,100,{=SUM(A1:A4)},,=A1*3\n"
       "2,100,\"=\"\"n\"\"&A2\",20,,5,15\n"
       "30,=A3*2,\"=\"\"n\"\"&A3\",30,,7,100\n"
       "4,=A4*2,\"=\"\"n\"\"&A4\",,,,\n",
       "1,2,x,100,37,,3\n2,100,n2,20,,5,15\n30,60,n30,30,,7,100\n4,8,n4,,,,\n"},
  };
  return sets;
}

void writeFormulaGroups(const std::string& source, const GroupWrites& set, const std::string& path) {
  auto book = Workbook::open(source);
  ASSERT_TRUE(book.ok()) << book.description();
  for (const CellWrite& w : set.writes)
    ASSERT_TRUE(book->setCell(0, w.row, w.col, w.value).ok()) << w.row << " " << w.col;
  const XlsStatus saved = book->save(path);
  ASSERT_TRUE(saved.ok()) << saved.description();
}

const char* const XlrdDumpScript = R"PY(
import sys, xlrd
book = xlrd.open_workbook(sys.argv[1], formatting_info=True)
print("datemode\t%d" % book.datemode)
names = {0: "empty", 1: "text", 2: "number", 3: "date", 4: "bool", 5: "error", 6: "blank"}
for si in range(book.nsheets):
    sh = book.sheet_by_index(si)
    print("sheet-info\t%d\t%s\t%d\t%d" % (si, sh.name, sh.sheet_selected, sh.sheet_visible))
    print("merged\t%d\t%r" % (si, sorted(sh.merged_cells)))
    for r in range(sh.nrows):
        for c in range(sh.ncols):
            cell = sh.cell(r, c)
            if cell.ctype in (0, 6):
                continue
            if cell.ctype in (2, 3):
                v = "%.17g" % cell.value
            elif cell.ctype == 4:
                v = "1" if cell.value else "0"
            else:
                v = cell.value
            fmt = book.format_map[book.xf_list[cell.xf_index].format_key].format_str
            sys.stdout.buffer.write(("%d\t%d\t%d\t%s\t%s\t%s\n" % (si, r, c, names[cell.ctype], v, fmt)).encode("utf-8"))
)PY";

}  // namespace kestrune::xls::testing
