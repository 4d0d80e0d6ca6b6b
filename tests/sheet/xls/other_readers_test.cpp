// Files the engine writes, opened by other spreadsheet programs where they
// are installed: Gnumeric's ssconvert must read them without a warning, and
// LibreOffice must see the values, the active sheet and the active cell
// (checked by letting LibreOffice save the workbook again and reading that).
#include "sheet/xls/workbook.h"
#include "xls_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace kestrune::xls::testing {
namespace {

bool installed(const char* program) {
  const std::string command = std::string("command -v ") + program + " > /dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// Runs a shell command; returns its exit status and everything it printed.
std::pair<int, std::string> shell(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return {-1, output};
  char buffer[4096];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The corpus workbook with cells written on its second sheet, which is made active.
std::string writtenWorkbook(const TempDir& dir) {
  auto book = Workbook::open(KESTRUNE_XLS_TEST_DATA "/two_sheets.xls");
  EXPECT_TRUE(book.ok()) << book.description();
  Workbook& wb = book.value();
  EXPECT_TRUE(wb.setCell(1, 4, 1, std::string("measured")).ok());
  EXPECT_TRUE(wb.setCell(1, 4, 2, 12.5).ok());
  EXPECT_TRUE(wb.setCell(1, 4, 3, DateTimeValue{46363.5, DateKind::DateTime}).ok());
  EXPECT_TRUE(wb.setActiveSheet(1).ok());
  EXPECT_TRUE(wb.setActiveCell(1, 5, 1).ok());
  const std::string path = dir.file("written.xls");
  EXPECT_TRUE(wb.save(path).ok());
  return path;
}

TEST(OtherReadersTest, GnumericReadsWithoutWarnings) {
  if (!installed("ssconvert")) GTEST_SKIP() << "Gnumeric's ssconvert is not installed";
  TempDir dir;
  const std::string path = writtenWorkbook(dir);
  const auto [status, output] = shell("ssconvert -S '" + path + "' '" + dir.file("out.csv") + "'");
  ASSERT_EQ(status, 0) << output;
  EXPECT_EQ(output.find("arning"), std::string::npos) << output;
  EXPECT_EQ(output.find("rror"), std::string::npos) << output;
  const std::string second = readText(dir.file("out.csv.1"));
  EXPECT_NE(second.find("measured,12.5"), std::string::npos) << second;
}

TEST(OtherReadersTest, LibreOfficeSeesValuesActiveSheetAndCell) {
  if (!installed("soffice")) GTEST_SKIP() << "LibreOffice is not installed";
  TempDir dir;
  const std::string path = writtenWorkbook(dir);
  const std::string outDir = dir.file("lo");
  const std::string profile = "file://" + dir.file("profile");
  const auto [status, output] =
      shell("soffice -env:UserInstallation=" + profile +
            " --headless --norestore --convert-to 'xls:MS Excel 97' --outdir '" + outDir + "' '" + path + "'");
  ASSERT_EQ(status, 0) << output;
  auto again = Workbook::open(outDir + "/written.xls");
  ASSERT_TRUE(again.ok()) << again.description() << "\n" << output;
  const Workbook& wb = again.value();
  EXPECT_EQ(wb.activeSheet(), 1u);
  EXPECT_EQ(wb.activeCell(1), (CellPosition{5, 1}));
  const auto text = wb.cell(1, 4, 1);
  ASSERT_TRUE(text.ok());
  EXPECT_EQ(std::get<std::string>(text.value().value), "measured");
  const auto number = wb.cell(1, 4, 2);
  ASSERT_TRUE(number.ok());
  EXPECT_EQ(std::get<double>(number.value().value), 12.5);
  const auto date = wb.cell(1, 4, 3);
  ASSERT_TRUE(date.ok());
  EXPECT_TRUE(std::holds_alternative<DateTimeValue>(date.value().value));
}

// Workbooks encrypted with Excel's default password, written and saved
// encrypted again: LibreOffice decrypts them and sees every cell.
TEST(OtherReadersTest, LibreOfficeReadsEncryptedWorkbooksWeSaved) {
  if (!installed("soffice")) GTEST_SKIP() << "LibreOffice is not installed";
  TempDir dir;
  std::string files;
  for (const auto& [name, kind] :
       {std::pair{"rc4", BiffCipherKind::Rc4}, {"cryptoapi", BiffCipherKind::Rc4CryptoApi}}) {
    auto wb = Workbook::fromBytes(encryptedWorkbook(kind));
    ASSERT_TRUE(wb.ok()) << wb.description();
    ASSERT_TRUE(wb->setCell(0, 3, 0, std::string("written")).ok());
    ASSERT_TRUE(wb->setCell(0, 4, 0, 7.25).ok());
    const std::string path = dir.file(std::string(name) + ".xls");
    ASSERT_TRUE(wb->save(path).ok());
    files += " '" + path + "'";
  }
  const auto [status, output] =
      shell("soffice -env:UserInstallation=file://" + dir.file("profile") +
            " --headless --norestore --convert-to csv --outdir '" + dir.file("csv") + "'" + files);
  ASSERT_EQ(status, 0) << output;
  const std::string expected = "hello\n2.5\n" + encryptedLongText() + "\nwritten\n7.25\n";
  EXPECT_EQ(readText(dir.file("csv/rc4.csv")), expected) << output;
  EXPECT_EQ(readText(dir.file("csv/cryptoapi.csv")), expected) << output;
}

// The workbooks of formulaGroupWrites(), saved in `dir`.
std::vector<std::string> writtenFormulaGroups(const TempDir& dir) {
  std::vector<std::string> paths;
  for (const GroupWrites& set : formulaGroupWrites()) {
    paths.push_back(dir.file(std::string(set.name) + ".xls"));
    writeFormulaGroups(KESTRUNE_XLS_TEST_DATA "/formula_groups.xls", set, paths.back());
  }
  return paths;
}

// Cells written into shared formulas, array formulas and a data table:
// LibreOffice still finds the shared formulas in their other cells and
// computes them from the changed inputs; removed arrays and tables left values.
TEST(OtherReadersTest, LibreOfficeComputesTheFormulasLeftInWrittenGroups) {
  if (!installed("soffice")) GTEST_SKIP() << "LibreOffice is not installed";
  TempDir dir;
  const std::vector<std::string> paths = writtenFormulaGroups(dir);
  std::string files;
  for (const std::string& path : paths) files += " '" + path + "'";
  const std::string soffice =
      "soffice -env:UserInstallation=file://" + dir.file("profile") + " --headless --norestore --convert-to ";
  // CSV filter options: comma, double quote, UTF-8, from line 1; the last
  // field asks for formulas instead of their results.
  const auto [fStatus, fOutput] =
      shell(soffice + "'csv:Text - txt - csv (StarCalc):44,34,76,1,,0,false,true,false,true' --outdir '" +
            dir.file("formulas") + "'" + files);
  ASSERT_EQ(fStatus, 0) << fOutput;
  const auto [vStatus, vOutput] = shell(soffice + "csv --outdir '" + dir.file("values") + "'" + files);
  ASSERT_EQ(vStatus, 0) << vOutput;
  for (const GroupWrites& set : formulaGroupWrites()) {
    SCOPED_TRACE(set.name);
    const std::string csv = std::string(set.name) + ".csv";
    EXPECT_EQ(readText(dir.file("formulas/" + csv)), set.formulas);
    EXPECT_EQ(readText(dir.file("values/" + csv)), set.values);
  }
}

TEST(OtherReadersTest, GnumericComputesTheFormulasLeftInWrittenGroupsWithoutWarnings) {
  if (!installed("ssconvert")) GTEST_SKIP() << "Gnumeric's ssconvert is not installed";
  TempDir dir;
  const std::vector<std::string> paths = writtenFormulaGroups(dir);
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const GroupWrites& set = formulaGroupWrites()[i];
    SCOPED_TRACE(set.name);
    const std::string csv = dir.file(std::string(set.name) + ".csv");
    const auto [status, output] = shell("ssconvert --recalc '" + paths[i] + "' '" + csv + "'");
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(output.find("arning"), std::string::npos) << output;
    EXPECT_EQ(output.find("rror"), std::string::npos) << output;
    EXPECT_EQ(readText(csv), set.values);
  }
}

}  // namespace
}  // namespace kestrune::xls::testing
