// The built-in spreadsheet application through the SpreadsheetApp seam:
// opening, the active cell, writing values, saving (read back by our engine
// and by python3-xlrd), failed saves, quitting and the program end.
#include "embedded_test_support.h"

#include "fakes/recording_message_boxes.h"
#include "sheet/embedded/sheet_window.h"
#include "sheet/xls/workbook.h"
#include "sheet/xls/xls_test_support.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTabBar>

#include <gtest/gtest.h>

#include <initializer_list>
#include <ostream>
#include <tuple>
#include <variant>

#include <unistd.h>

namespace kestrune::sheet::embedded {
namespace {

using kestrune::testing::RecordingMessageBoxes;
using namespace testing;

// Every operation of the seam, each reporting whether it succeeded.
struct Operation {
  const char* name;
  std::function<bool(SpreadsheetApp&)> run;
};
const std::vector<Operation>& allOperations() {
  static const std::vector<Operation> ops = {
      {"setVisible", [](SpreadsheetApp& a) { return a.setVisible(true).ok(); }},
      {"setWindowStateNormal", [](SpreadsheetApp& a) { return a.setWindowStateNormal().ok(); }},
      {"saveActiveWorkbook", [](SpreadsheetApp& a) { return a.saveActiveWorkbook().ok(); }},
      {"selectRange", [](SpreadsheetApp& a) { return a.selectRange(QStringLiteral("B2")).ok(); }},
      {"activeCell", [](SpreadsheetApp& a) { return a.activeCell().ok(); }},
      {"selectCell", [](SpreadsheetApp& a) { return a.selectCell(2, 2).ok(); }},
      {"setCellValue", [](SpreadsheetApp& a) { return a.setCellValue(1, 1, QStringLiteral("x")).ok(); }},
      {"quit", [](SpreadsheetApp& a) { return a.quit().ok(); }},
  };
  return ops;
}

void expectEveryOperationFails(SpreadsheetApp& app, const char* when) {
  for (const Operation& op : allOperations()) EXPECT_FALSE(op.run(app)) << op.name << " " << when;
  // Callers tell "no workbook" from other failures by its code.
  const Status selected = app.selectCell(1, 1);
  EXPECT_TRUE(!selected && selected.error().is(SheetError::NoWorkbook)) << when;
}

class EmbeddedSpreadsheetTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    app = makeShowingFailedSaves(boxes, question.function());
  }
  QString sample(const QString& name) {
    const QString path = copySample(dir, name);
    EXPECT_FALSE(path.isEmpty()) << name.toStdString();
    return path;
  }

  // Opens a copy of a sample in a folder of its own, changes one cell, and
  // moves the folder away so that saving fails; returns the folder's path.
  QString changedCopyInAMovedFolder(const char* sampleName, std::int32_t row, std::int32_t column) {
    const QString folder = dir.filePath(QStringLiteral("books"));
    EXPECT_TRUE(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/book.xls");
    EXPECT_TRUE(QFile::copy(QStringLiteral(KESTRUNE_XLS_TEST_DATA "/") + QLatin1String(sampleName), path));
    EXPECT_TRUE(app->openWorkbook(path).ok());
    EXPECT_TRUE(app->setCellValue(row, column, std::int32_t{5}).ok());
    EXPECT_TRUE(QDir().rename(folder, folder + QStringLiteral("-away")));
    return folder;
  }

  QTemporaryDir dir;
  RecordingMessageBoxes boxes;
  ScriptedQuestion question;
  std::unique_ptr<EmbeddedSpreadsheet> app;
};

TEST_F(EmbeddedSpreadsheetTest, EveryOperationFailsWithoutAWorkbook) {
  expectEveryOperationFails(*app, "before opening");
  EXPECT_EQ(app->window(), nullptr);
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(EmbeddedSpreadsheetTest, QuitClosesWithoutAskingThenEveryOperationFails) {
  const QString path = sample(QStringLiteral("two_sheets.xls"));
  const QByteArray before = fileBytes(path);
  ASSERT_TRUE(app->openWorkbook(path).ok());
  ASSERT_TRUE(app->setVisible(true).ok());
  ASSERT_TRUE(app->setCellValue(1, 1, QStringLiteral("unsaved")).ok());
  QSignalSpy beforeClose(app.get(), &SpreadsheetApp::workbookBeforeClose);
  ASSERT_TRUE(app->quit().ok());
  EXPECT_FALSE(app->window()->isVisible());
  EXPECT_TRUE(question.asked.empty()) << "quit never asks";
  EXPECT_EQ(beforeClose.count(), 0) << "only a close by the user is announced";
  EXPECT_EQ(fileBytes(path), before) << "quit does not save";
  expectEveryOperationFails(*app, "after quit");
  EXPECT_FALSE(app->openWorkbook(sample(QStringLiteral("formats.xls"))).ok());
}

// Workbooks of other formats and damaged ones, made as files for real.
namespace made {

using namespace xls;
using xls::testing::buildWorkbookStream;
using xls::testing::minimalGlobals;
using xls::testing::minimalSheet;
using xls::testing::wrapInCompoundFile;

Bytes stream() { return buildWorkbookStream(minimalGlobals(), {{"S", minimalSheet({})}}); }

// The stream's BOF says BIFF5, the format of Excel 5.0/95, in the stream "Book".
Bytes excel95() {
  Bytes s = stream();
  setU16(s, 4, 0x0500);
  return wrapInCompoundFile(s, u"Book");
}

// A BIFF4 BOF: a format older than both.
Bytes biff4() {
  Bytes s = stream();
  setU16(s, 0, 0x0409);
  return wrapInCompoundFile(s);
}

Bytes signedBook() {
  CompoundFile file;
  for (const auto& [name, data] :
       {std::pair{std::u16string(u"Workbook"), stream()}, std::pair{std::u16string(u"_signatures"), Bytes(100, 1)}}) {
    CfbEntry entry;
    entry.name = name;
    entry.data = data;
    file.root().children.push_back(entry);
  }
  return file.serialize().value();
}

Bytes badByteOrder() {
  Bytes f = wrapInCompoundFile(stream());
  setU16(f, 0x1C, 0x1234);
  return f;
}

// The final EOF claims 4096 bytes of body.
Bytes recordPastTheEnd() {
  Bytes s = stream();
  setU16(s, s.size() - 2, 0x1000);
  return wrapInCompoundFile(s);
}

}  // namespace made

TEST_F(EmbeddedSpreadsheetTest, OpenFailureNamesTheFileAndWhyInJapaneseWithoutABoxOfItsOwn) {
  // Zip containers as the other office formats write them: OpenDocument puts
  // its media type first, Office Open XML its content types and xl/ parts.
  const std::string makeZips = R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1] + '/renamed-ods.xls', 'w') as z:
    z.writestr('mimetype', 'application/vnd.oasis.opendocument.spreadsheet')
    z.writestr('content.xml', '<office:document-content/>')
with zipfile.ZipFile(sys.argv[1] + '/renamed-xlsx.xls', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('[Content_Types].xml', '<Types/>')
    z.writestr('xl/workbook.xml', '<workbook/>')
with zipfile.ZipFile(sys.argv[1] + '/archive.xls', 'w') as z:
    z.writestr('notes.txt', 'hello')
)";
  const auto run = xls::testing::runPython(makeZips, dir.path().toStdString());
  ASSERT_EQ(run.status, 0) << run.output;
  const auto write = [this](const char* name, const QByteArray& bytes) {
    QFile f(dir.filePath(QString::fromLatin1(name)));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    return f.fileName();
  };
  const auto writeBytes = [&write](const char* name, const xls::Bytes& bytes) {
    return write(name, QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())));
  };
  // Root reads a file whatever its mode.
  const bool root = ::geteuid() == 0;
  const QString writeOnly = write("write-only.xls", "x");
  ASSERT_TRUE(QFile::setPermissions(writeOnly, QFile::WriteOwner));
  const QString folder = dir.filePath(QStringLiteral("folder.xls"));
  ASSERT_TRUE(QDir().mkpath(folder));
  const QString again = QStringLiteral("表計算ソフトで Excel 97-2003 形式（.xls）として保存し直してから開いて下さい。");
  const QString notXls = QStringLiteral("Excel 97-2003 形式（.xls）のブックではありません。");
  const struct {
    QString path;
    QString reason;
    bool skip = false;
  } cases[] = {
      {dir.filePath(QStringLiteral("missing.xls")), QStringLiteral("ファイルが見つかりません。")},
      {writeOnly, QStringLiteral("ファイルを読む権限がありません。"), root},
      // A folder is said to be one, not read as a file of no end.
      {folder, QStringLiteral("ファイルではなくフォルダーです。")},
      {write("empty.xls", ""), notXls},
      {write("text.xls", "just some text, not a compound file\n"), notXls},
      {write("page.xls", "\n<html><body><table><tr><td>1</td></tr></table></body></html>"),
       QStringLiteral("HTML または XML のファイルで、Excel 97-2003 形式（.xls）のブックではありません。") + again},
      {dir.filePath(QStringLiteral("renamed-xlsx.xls")),
       QStringLiteral("Excel 2007 以降の形式（.xlsx）のブックの名前を .xls に変えたものです。") + again},
      {dir.filePath(QStringLiteral("renamed-ods.xls")),
       QStringLiteral("OpenDocument 形式（.ods）のファイルの名前を .xls に変えたものです。") + again},
      {dir.filePath(QStringLiteral("archive.xls")),
       QStringLiteral("ZIP 形式のファイルで、Excel 97-2003 形式（.xls）のブックではありません。")},
      {writeBytes("excel95.xls", made::excel95()), QStringLiteral("Excel 5.0/95 形式の古いブックです。") + again},
      {writeBytes("biff4.xls", made::biff4()),
       QStringLiteral("Excel 97-2003 形式（BIFF8）より古い形式のブックです。") + again},
      {writeBytes("document.xls", made::wrapInCompoundFile(made::stream(), u"WordDocument")),
       QStringLiteral("Excel のブックではありません（ほかのアプリケーションの文書です）。")},
      {writeBytes("encrypted.xls", xls::testing::encryptedWorkbook(xls::BiffCipherKind::Rc4, u"secret")),
       QStringLiteral("パスワードで保護（暗号化）されたブックは開けません。パスワードを外して保存し直して下さい。")},
      {writeBytes("signed.xls", made::signedBook()),
       QStringLiteral("デジタル署名付きのブックです。書き込むと署名が無効になるため開きません。")},
      {writeBytes("byte-order.xls", made::badByteOrder()),
       QStringLiteral("ファイルが壊れています（compound file header: bad byte order mark）。")},
      {writeBytes("cut-record.xls", made::recordPastTheEnd()),
       QStringLiteral("ファイルが壊れています（damaged Workbook stream: record 0x000A at offset %1 runs past the "
                      "end of the stream）。")
           .arg(made::stream().size() - 4)},
  };
  for (const auto& c : cases) {
    if (c.skip) continue;
    const Status opened = app->openWorkbook(c.path);
    ASSERT_FALSE(opened.ok()) << c.path.toStdString();
    EXPECT_EQ(opened.description(), QStringLiteral("ブック「%1」を開けません。\n理由: %2").arg(c.path, c.reason));
    EXPECT_TRUE(opened.error().is(SheetError::CannotStart)) << c.path.toStdString();
  }
  EXPECT_TRUE(boxes.shown.empty()) << "the caller shows the one message";
  expectEveryOperationFails(*app, "after a failed open");
  // A later open of a good workbook works.
  EXPECT_TRUE(app->openWorkbook(sample(QStringLiteral("formats.xls"))).ok());
}

TEST_F(EmbeddedSpreadsheetTest, ASecondWorkbookIsRefusedAndTheFirstStays) {
  const QString first = sample(QStringLiteral("two_sheets.xls"));
  ASSERT_TRUE(app->openWorkbook(first).ok());
  ASSERT_TRUE(app->selectRange(QStringLiteral("C7")).ok());
  const Status second = app->openWorkbook(sample(QStringLiteral("formats.xls")));
  EXPECT_FALSE(second.ok());
  EXPECT_TRUE(second.description().contains(first)) << second.description().toStdString();
  const Result<CellRef> active = app->activeCell();
  ASSERT_TRUE(active.ok());
  EXPECT_EQ(*active, (CellRef{7, 3}));
}

struct AddressCase {
  const char* address;
  CellRef cell;
  const char* absolute;
};

void PrintTo(const AddressCase& c, std::ostream* os) { *os << c.address; }

class SelectRangeTest : public EmbeddedSpreadsheetTest, public ::testing::WithParamInterface<AddressCase> {};

TEST_P(SelectRangeTest, TheSelectedCellIsTheActiveCell) {
  ASSERT_TRUE(app->openWorkbook(sample(QStringLiteral("two_sheets.xls"))).ok());
  const AddressCase& c = GetParam();
  ASSERT_TRUE(app->selectRange(QString::fromLatin1(c.address)).ok());
  Result<CellRef> active = app->activeCell();
  ASSERT_TRUE(active.ok());
  EXPECT_EQ(*active, c.cell);
  EXPECT_EQ(absoluteAddress(*active), QString::fromLatin1(c.absolute));
  // Cells(row, column).Select reaches the same cell from elsewhere.
  ASSERT_TRUE(app->selectRange(QStringLiteral("A1")).ok());
  ASSERT_TRUE(app->selectCell(c.cell.row, c.cell.column).ok());
  active = app->activeCell();
  ASSERT_TRUE(active.ok());
  EXPECT_EQ(*active, c.cell);
}

INSTANTIATE_TEST_SUITE_P(Addresses, SelectRangeTest,
                         ::testing::Values(AddressCase{"B3", {3, 2}, "$B$3"}, AddressCase{"$C$12", {12, 3}, "$C$12"},
                                           AddressCase{"a1", {1, 1}, "$A$1"},
                                           AddressCase{"$AA$100", {100, 27}, "$AA$100"},
                                           AddressCase{"iv65536", {65536, 256}, "$IV$65536"}));

TEST_F(EmbeddedSpreadsheetTest, AddressesOutsideTheSheetOrMalformedFail) {
  ASSERT_TRUE(app->openWorkbook(sample(QStringLiteral("two_sheets.xls"))).ok());
  ASSERT_TRUE(app->selectRange(QStringLiteral("D4")).ok());
  for (const char* address : {"A0", "IW1", "A65537", "XFD1", "", "12", "B", "A1:B2", "B 3", "$B$"}) {
    EXPECT_FALSE(app->selectRange(QString::fromLatin1(address)).ok()) << address;
  }
  const std::pair<std::int32_t, std::int32_t> cells[] = {
      {0, 1}, {1, 0}, {65537, 1}, {1, 257}, {-1, -1}, {std::numeric_limits<std::int32_t>::max(), 1}};
  for (const auto& [row, column] : cells) {
    EXPECT_FALSE(app->selectCell(row, column).ok()) << row << "," << column;
    EXPECT_FALSE(app->setCellValue(row, column, std::int32_t{1}).ok()) << row << "," << column;
  }
  const Result<CellRef> active = app->activeCell();
  ASSERT_TRUE(active.ok());
  EXPECT_EQ(*active, (CellRef{4, 4})) << "failed selections leave the active cell";
  EXPECT_FALSE(app->hasUnsavedChanges()) << "failed writes change nothing";
  EXPECT_TRUE(app->setCellValue(65536, 256, std::int32_t{1}).ok()) << "the last cell of the sheet";
}

// What the test writes and what each reader must find.
struct Written {
  CellRef at;
  CellValue value;
  xls::Value engine;  // as our engine reads it back
  QString xlrd;       // as xlrd reads it back: type and value
};

std::vector<Written> writtenValues(bool date1904) {
  const QDateTime when(QDate(2024, 5, 6), QTime(7, 8, 9));
  const double day = date1904 ? 45418 - 1462 : 45418;
  const double time = (7 * 3600 + 8 * 60 + 9) / 86400.0;
  return {
      {{3, 2}, QStringLiteral("abc"), std::string("abc"), QStringLiteral("text\tabc")},
      {{3, 3}, QStringLiteral("12.5"), 12.5, QStringLiteral("number\t12.5")},
      {{3, 4}, std::int32_t{42}, 42.0, QStringLiteral("number\t42")},
      {{3, 5}, std::int32_t{-7}, -7.0, QStringLiteral("number\t-7")},
      {{3, 6}, QStringLiteral("=SUM(A1)"), std::string("=SUM(A1)"), QStringLiteral("text\t=SUM(A1)")},
      {{3, 7}, QStringLiteral("=1+1"), std::string("=1+1"), QStringLiteral("text\t=1+1")},
      {{4, 2},
       Stamp{when, Stamp::Kind::Date},
       xls::DateTimeValue{day, xls::DateKind::DateOnly},
       QStringLiteral("date\t(2024, 5, 6, 0, 0, 0)")},
      {{4, 3},
       Stamp{when, Stamp::Kind::Time},
       xls::DateTimeValue{time, xls::DateKind::TimeOnly},
       QStringLiteral("date\t(0, 0, 0, 7, 8, 9)")},
      {{4, 4},
       Stamp{when, Stamp::Kind::DateTime},
       xls::DateTimeValue{day + time, xls::DateKind::DateTime},
       QStringLiteral("date\t(2024, 5, 6, 7, 8, 9)")},
      {{5, 2},
       QStringLiteral("測定値"),
       std::string("\xe6\xb8\xac\xe5\xae\x9a\xe5\x80\xa4"),
       QStringLiteral("text\t測定値")},
  };
}

QString key(std::size_t sheet, const CellRef& at) {
  return QStringLiteral("%1 %2 %3").arg(sheet).arg(at.row - 1).arg(at.column - 1);
}

void expectEngineValue(const xls::Value& got, const xls::Value& want, const CellRef& at) {
  if (const auto* d = std::get_if<xls::DateTimeValue>(&want)) {
    const auto* g = std::get_if<xls::DateTimeValue>(&got);
    ASSERT_NE(g, nullptr) << absoluteAddress(at).toStdString();
    EXPECT_NEAR(g->serial, d->serial, 1e-9) << absoluteAddress(at).toStdString();
    EXPECT_EQ(g->kind, d->kind) << absoluteAddress(at).toStdString();
  } else {
    EXPECT_EQ(got, want) << absoluteAddress(at).toStdString();
  }
}

class WriteAndSaveTest : public EmbeddedSpreadsheetTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(WriteAndSaveTest, SavedValuesReadBackWithOurEngineAndXlrd) {
  REQUIRE_XLRD();
  const QString path = sample(QString::fromLatin1(GetParam()));
  const auto before = xls::Workbook::open(QFile::encodeName(path).toStdString());
  ASSERT_TRUE(before.ok());
  const std::size_t sheet = before->activeSheet();
  const XlrdView old = readWithXlrd(path);
  ASSERT_TRUE(old.ok) << old.error.toStdString();

  ASSERT_TRUE(app->openWorkbook(path).ok());
  const std::vector<Written> values = writtenValues(before->date1904());
  for (const Written& w : values) ASSERT_TRUE(app->setCellValue(w.at.row, w.at.column, w.value).ok());
  EXPECT_TRUE(app->hasUnsavedChanges());
  ASSERT_TRUE(app->selectRange(QStringLiteral("F9")).ok());
  ASSERT_TRUE(app->saveActiveWorkbook().ok());
  EXPECT_FALSE(app->hasUnsavedChanges());
  EXPECT_TRUE(boxes.shown.empty());

  const auto after = xls::Workbook::open(QFile::encodeName(path).toStdString());
  ASSERT_TRUE(after.ok()) << after.description();
  EXPECT_EQ(after->activeSheet(), sheet);
  EXPECT_EQ(after->activeCell(sheet), (xls::CellPosition{8, 5}));
  for (const Written& w : values) {
    const auto cell =
        after->cell(sheet, static_cast<std::uint32_t>(w.at.row - 1), static_cast<std::uint32_t>(w.at.column - 1));
    ASSERT_TRUE(cell.ok());
    expectEngineValue(cell->value, w.engine, w.at);
  }

  const XlrdView view = readWithXlrd(path);
  ASSERT_TRUE(view.ok) << view.error.toStdString();
  EXPECT_EQ(view.datemode, before->date1904() ? 1 : 0);
  EXPECT_EQ(view.activeSheet, static_cast<int>(sheet));
  ASSERT_TRUE(view.cursor.count(static_cast<int>(sheet)));
  EXPECT_EQ(view.cursor.at(static_cast<int>(sheet)), QStringLiteral("8 5"));
  for (const Written& w : values) {
    const QString k = key(sheet, w.at);
    ASSERT_TRUE(view.cells.count(k)) << k.toStdString();
    EXPECT_EQ(view.cells.at(k), w.xlrd) << k.toStdString();
  }
  // Dates in cells that had no format of their own carry the format of their kind.
  const std::pair<CellRef, const char*> dateFormats[] = {
      {{4, 2}, "yyyy/mm/dd"}, {{4, 3}, "h:mm:ss"}, {{4, 4}, "yyyy/mm/dd h:mm:ss"}};
  for (const auto& [at, format] : dateFormats)
    if (!old.cells.count(key(sheet, at))) {
      EXPECT_EQ(view.formats.at(key(sheet, at)), QString::fromLatin1(format));
    }
  // Every cell that was there and not written is still there, unchanged.
  for (const auto& [k, v] : old.cells) {
    bool overwritten = false;
    for (const Written& w : values) overwritten = overwritten || k == key(sheet, w.at);
    if (overwritten) continue;
    ASSERT_TRUE(view.cells.count(k)) << "lost " << k.toStdString();
    EXPECT_EQ(view.cells.at(k), v) << k.toStdString();
  }
}

INSTANTIATE_TEST_SUITE_P(Samples, WriteAndSaveTest,
                         ::testing::Values("two_sheets.xls", "formats.xls", "date1904.xls", "formulas.xls",
                                           "merged.xls"),
                         [](const auto& p) { return std::string(p.param).substr(0, std::string(p.param).find('.')); });

// ---- Failed saves -----------------------------------------------------------

struct Sabotage {
  const char* name;
  // Makes saving `path` fail; returns the path where the old file now lies.
  std::function<QString(FolderTrouble& trouble, const QString& folder, const QString& path)> apply;
  const char* reason;
  int smallDiskKiB = 0;  // the folder is a tmpfs of this size (root only)
  // Where root differs: a read-only folder is a read-only mount for root.
  const char* reasonForRoot = nullptr;
};

void PrintTo(const Sabotage& c, std::ostream* os) { *os << c.name; }

class FailedSaveTest : public EmbeddedSpreadsheetTest, public ::testing::WithParamInterface<Sabotage> {};

TEST_P(FailedSaveTest, ReturnsWhyWithoutABoxAndKeepsTheOldFile) {
  const QString folder = dir.filePath(QStringLiteral("books"));
  ASSERT_TRUE(QDir().mkpath(folder));
  FolderTrouble trouble(folder);
  if (GetParam().smallDiskKiB > 0 && !trouble.mountSmallDisk(GetParam().smallDiskKiB))
    GTEST_SKIP() << "needs root and tmpfs mounts";
  const QString path = folder + QStringLiteral("/book.xls");
  ASSERT_TRUE(QFile::copy(QStringLiteral(KESTRUNE_XLS_TEST_DATA "/two_sheets.xls"), path));
  const QByteArray original = fileBytes(path);
  ASSERT_TRUE(app->openWorkbook(path).ok());
  ASSERT_TRUE(app->setCellValue(1, 1, QStringLiteral("new")).ok());

  const QString oldFile = GetParam().apply(trouble, folder, path);
  ASSERT_FALSE(oldFile.isEmpty());
  const Status saved = app->saveActiveWorkbook();
  ASSERT_FALSE(saved.ok());
  EXPECT_TRUE(boxes.shown.empty()) << "the caller tells the user";
  EXPECT_TRUE(saved.error().is(SheetError::NotSaved));
  // The engine's own words close the message in brackets: they name a temporary file.
  const QString message = saved.description();
  const QString expected =
      QStringLiteral("ブック「%1」を保存できませんでした。\n%2\n元のファイルはそのまま残っています。\n（")
          .arg(path, QString::fromUtf8(::geteuid() == 0 && GetParam().reasonForRoot ? GetParam().reasonForRoot
                                                                                    : GetParam().reason));
  EXPECT_TRUE(message.startsWith(expected)) << message.toStdString();
  EXPECT_TRUE(message.endsWith(QStringLiteral("）"))) << message.toStdString();
  EXPECT_EQ(fileBytes(oldFile), original) << "the old file stays as it was";
  EXPECT_TRUE(app->hasUnsavedChanges()) << "the changes are still unsaved";
  const QStringList left = QDir(QFileInfo(oldFile).absolutePath()).entryList(QDir::Files);
  EXPECT_EQ(left, QStringList{QFileInfo(oldFile).fileName()}) << "no temporary file is left";
}

INSTANTIATE_TEST_SUITE_P(
    Causes, FailedSaveTest,
    ::testing::Values(
        // The folder has become a regular file: no temporary file can be made beside the target.
        Sabotage{"FolderIsAFile",
                 [](FolderTrouble&, const QString& folder, const QString&) {
                   const QString moved = folder + QStringLiteral("-moved");
                   if (!QDir().rename(folder, moved)) return QString();
                   QFile blocker(folder);
                   if (!blocker.open(QIODevice::WriteOnly)) return QString();
                   return moved + QStringLiteral("/book.xls");
                 },
                 "保存先のフォルダーが見つかりません。"},
        // A folder stands at the target name: the temporary file cannot replace it.
        Sabotage{"TargetIsAFolder",
                 [](FolderTrouble&, const QString& folder, const QString& path) {
                   const QString moved = folder + QStringLiteral("/old/book.xls");
                   if (!QDir().mkpath(folder + QStringLiteral("/old")) || !QFile::rename(path, moved) ||
                       !QDir().mkpath(path + QStringLiteral("/inside")))
                     return QString();
                   return moved;
                 },
                 "同じ名前のフォルダーがあるため、ファイルを置き換えられません。"},
        Sabotage{"FileMadeReadOnly",
                 [](FolderTrouble&, const QString&, const QString& path) {
                   return QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther)
                              ? path
                              : QString();
                 },
                 "書き込みが許可されていません（保存先のファイルまたはフォルダーが読み取り専用です）。"},
        Sabotage{"FolderMadeReadOnly",
                 [](FolderTrouble& trouble, const QString&, const QString& path) {
                   return trouble.makeReadOnly() ? path : QString();
                 },
                 "書き込みが許可されていません（保存先のファイルまたはフォルダーが読み取り専用です）。", 0,
                 "書き込みが許可されていません（保存先は読み取り専用のドライブです）。"},
        Sabotage{"DiskFull",
                 [](FolderTrouble& trouble, const QString&, const QString& path) {
                   return trouble.fillDisk() ? path : QString();
                 },
                 "ディスクがいっぱいです（空き容量が足りません）。", 64}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(EmbeddedSpreadsheetTest, ASaveAfterTheCauseIsGoneSucceeds) {
  const QString folder = changedCopyInAMovedFolder("formats.xls", 2, 3);
  const QString path = folder + QStringLiteral("/book.xls");
  EXPECT_FALSE(app->saveActiveWorkbook().ok());
  ASSERT_TRUE(QDir().rename(folder + QStringLiteral("-away"), folder));
  ASSERT_TRUE(app->saveActiveWorkbook().ok());
  const auto saved = xls::Workbook::open(QFile::encodeName(path).toStdString());
  ASSERT_TRUE(saved.ok());
  EXPECT_EQ(saved->cell(0, 1, 2)->value, xls::Value(5.0));
  EXPECT_TRUE(boxes.shown.empty());
}

// ---- A chart sheet is active ------------------------------------------------

// A workbook of a worksheet "Data" and a chart sheet "Chart1", the chart active.
QString chartActiveWorkbook(const QTemporaryDir& dir) {
  namespace xt = xls::testing;
  std::vector<xls::Record> globals = xt::minimalGlobals();
  for (xls::Record& r : globals)
    if (r.id == xls::rid::Window1) xls::setU16(r.body, 10, 1);
  xls::Bytes bof = xt::u16s({0x0600, 0x0020, 0x0DBB, 0x07CC});
  xls::putU32(bof, 0);
  xls::putU32(bof, 6);
  const std::vector<xls::Record> chart = {xt::rec(xls::rid::Bof, bof), xt::rec(xls::rid::Eof, {})};
  const xls::Bytes file =
      xt::wrapInCompoundFile(xt::buildWorkbookStream(globals, {{"Data", xt::minimalSheet({})}, {"Chart1", chart, 2}}));
  const QString path = dir.filePath(QStringLiteral("chart.xls"));
  QFile out(path);
  if (!out.open(QIODevice::WriteOnly)) return {};
  out.write(reinterpret_cast<const char*>(file.data()), static_cast<qint64>(file.size()));
  return path;
}

TEST_F(EmbeddedSpreadsheetTest, CellOperationsFailWhileAChartSheetIsActive) {
  const QString path = chartActiveWorkbook(dir);
  ASSERT_TRUE(app->openWorkbook(path).ok());
  const Result<CellRef> active = app->activeCell();
  ASSERT_FALSE(active.ok());
  EXPECT_TRUE(active.description().contains(QStringLiteral("Chart1"))) << active.description().toStdString();
  EXPECT_FALSE(app->selectRange(QStringLiteral("A1")).ok());
  EXPECT_FALSE(app->selectCell(1, 1).ok());
  EXPECT_FALSE(app->setCellValue(1, 1, std::int32_t{1}).ok());
  // The workbook itself still shows and saves.
  EXPECT_TRUE(app->setVisible(true).ok());
  EXPECT_TRUE(app->saveActiveWorkbook().ok());
  SheetWindow& window = *app->window();
  EXPECT_EQ(window.model().rowCount(), 0) << "a chart sheet has no grid";
  // The user picks the worksheet: cells work again.
  window.tabs().setCurrentIndex(0);
  EXPECT_EQ(window.model().rowCount(), 65536);
  EXPECT_TRUE(app->activeCell().ok());
  EXPECT_TRUE(app->setCellValue(1, 1, std::int32_t{1}).ok());
  EXPECT_EQ(window.model().data(window.model().index(0, 0)).toString(), QStringLiteral("1"));
}

// ---- Reading a cell's text ----------------------------------------------------

// What cellText gives, or the code it refuses with.
struct CellRead {
  const char* what;
  std::int32_t row, column;
  std::variant<const char*, SheetError> expected;
};

void expectReads(SpreadsheetApp& app, std::initializer_list<CellRead> reads) {
  for (const CellRead& r : reads) {
    const Result<QString> read = app.cellText(r.row, r.column);
    if (const auto* code = std::get_if<SheetError>(&r.expected)) {
      EXPECT_TRUE(!read && read.error().is(*code)) << r.what;
    } else {
      ASSERT_TRUE(read.ok()) << r.what << ": " << read.description().toStdString();
      EXPECT_EQ(*read, QString::fromUtf8(std::get<const char*>(r.expected))) << r.what;
    }
  }
}

TEST_F(EmbeddedSpreadsheetTest, CellTextGivesTextConstantsOnly) {
  xls::Workbook book = xls::Workbook::createEmpty();
  const std::tuple<std::uint32_t, std::uint32_t, xls::Value> stored[] = {
      {0, 3, std::string("D 温度")},
      {1, 0, 12.5},
      {1, 1, xls::DateTimeValue{45000.5, xls::DateKind::DateTime}},
      {1, 2, true},
      {1, 3, xls::CellError{0x07}},
      {65535, 255, std::string("corner")},
  };
  for (const auto& [row, column, value] : stored) ASSERT_TRUE(book.setCell(0, row, column, value).ok());
  const QString path = dir.filePath(QStringLiteral("written.xls"));
  ASSERT_TRUE(book.save(QFile::encodeName(path).toStdString()).ok());

  expectReads(*app, {{"no workbook yet", 1, 4, SheetError::NoWorkbook}});
  ASSERT_TRUE(app->openWorkbook(path).ok());
  // Written in this session: read back as the workbook stores it (typed input).
  ASSERT_TRUE(app->setCellValue(3, 1, QStringLiteral("=1+1")).ok());
  ASSERT_TRUE(app->setCellValue(3, 2, QStringLiteral("12.5")).ok());
  expectReads(*app, {
                        {"text", 1, 4, "D 温度"},
                        {"the last cell", 65536, 256, "corner"},
                        {"number", 2, 1, ""},
                        {"date", 2, 2, ""},
                        {"boolean", 2, 3, ""},
                        {"error", 2, 4, ""},
                        {"blank", 1, 1, ""},
                        {"formula-like text written", 3, 1, "=1+1"},
                        {"number written as text", 3, 2, ""},
                        {"row 0", 0, 1, SheetError::OutsideSheet},
                        {"row past the sheet", 65537, 1, SheetError::OutsideSheet},
                        {"column 0", 1, 0, SheetError::OutsideSheet},
                        {"column past the sheet", 1, 257, SheetError::OutsideSheet},
                    });
  ASSERT_TRUE(app->quit().ok());
  expectReads(*app, {{"after quit", 1, 4, SheetError::NoWorkbook}});

  // A workbook LibreOffice made: shared strings, and a formula's text result.
  auto other = makeShowingFailedSaves(boxes);
  ASSERT_TRUE(other->openWorkbook(sample(QStringLiteral("formula_results.xls"))).ok());
  expectReads(*other, {{"shared string", 2, 1, "noted"}, {"formula giving text", 1, 2, ""}});
  auto chart = makeShowingFailedSaves(boxes);
  ASSERT_TRUE(chart->openWorkbook(chartActiveWorkbook(dir)).ok());
  expectReads(*chart, {{"chart sheet active", 1, 1, SheetError::NotWorksheet}});
  EXPECT_TRUE(boxes.shown.empty());
}

// ---- Program end ------------------------------------------------------------

struct ReleaseCase {
  const char* name;
  bool write;
  std::vector<SavePrompt> answers;
  std::size_t expectAsked;
  bool expectSaved;
};

void PrintTo(const ReleaseCase& c, std::ostream* os) { *os << c.name; }

class ReleaseTest : public EmbeddedSpreadsheetTest, public ::testing::WithParamInterface<ReleaseCase> {};

TEST_P(ReleaseTest, AsksAboutUnsavedChangesThenCloses) {
  const ReleaseCase& c = GetParam();
  const QString path = sample(QStringLiteral("two_sheets.xls"));
  question.answers = c.answers;
  ASSERT_TRUE(app->openWorkbook(path).ok());
  ASSERT_TRUE(app->setVisible(true).ok());
  if (c.write) {
    ASSERT_TRUE(app->setCellValue(2, 2, QStringLiteral("written")).ok());
  }
  app->release();
  EXPECT_EQ(question.asked.size(), c.expectAsked);
  for (const QString& asked : question.asked) EXPECT_EQ(asked, path);
  const auto reread = xls::Workbook::open(QFile::encodeName(path).toStdString());
  ASSERT_TRUE(reread.ok());
  const bool saved = reread->cell(reread->activeSheet(), 1, 1)->value == xls::Value(std::string("written"));
  EXPECT_EQ(saved, c.expectSaved);
  EXPECT_FALSE(app->window()->isVisible());
  expectEveryOperationFails(*app, "after release");
  EXPECT_TRUE(boxes.shown.empty());
}

INSTANTIATE_TEST_SUITE_P(Answers, ReleaseTest,
                         ::testing::Values(ReleaseCase{"Unchanged", false, {SavePrompt::Save}, 0, false},
                                           ReleaseCase{"Save", true, {SavePrompt::Save}, 1, true},
                                           ReleaseCase{"DontSave", true, {SavePrompt::DontSave}, 1, false},
                                           // The program end cannot be cancelled: nothing is lost.
                                           ReleaseCase{"CancelSaves", true, {SavePrompt::Cancel}, 1, true}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(EmbeddedSpreadsheetTest, ReleaseAsksAgainWhenTheSaveFails) {
  const QString folder = changedCopyInAMovedFolder("two_sheets.xls", 1, 1);
  question.answers = {SavePrompt::Save, SavePrompt::DontSave};
  app->release();
  EXPECT_EQ(question.asked.size(), 2u);
  EXPECT_EQ(boxes.shown.size(), 1u) << "the failed save says why";
  expectEveryOperationFails(*app, "after release");
}

TEST_F(EmbeddedSpreadsheetTest, ReleaseGivesUpAfterRepeatedFailures) {
  const QString folder = changedCopyInAMovedFolder("two_sheets.xls", 1, 1);
  question.answers = {SavePrompt::Save};
  app->release();
  EXPECT_GE(question.asked.size(), 2u);
  EXPECT_LE(question.asked.size(), 5u) << "a question that always answers 保存 must not hang the program end";
  EXPECT_EQ(boxes.shown.size(), question.asked.size());
  expectEveryOperationFails(*app, "after release");
}

}  // namespace
}  // namespace kestrune::sheet::embedded
