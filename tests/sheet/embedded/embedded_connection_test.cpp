// The workbook connection driving the built-in application, as a run does:
// open a real workbook, place the cursor, write rows, close; and the user
// closing the sheet window in the middle of a run.
#include "embedded_test_support.h"

#include "fakes/recording_message_boxes.h"
#include "sheet/embedded/sheet_window.h"
#include "sheet/workbook_connection.h"
#include "sheet/xls/workbook.h"
#include "sheet/xls/xls_test_support.h"

#include <QFile>
#include <QHeaderView>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

namespace kestrune::sheet::embedded {
namespace {

using kestrune::testing::RecordingMessageBoxes;
using namespace testing;

class EmbeddedConnectionTest : public ::testing::Test {
protected:
  EmbeddedConnectionTest() : connection(record, factoryShowingFailedSaves(boxes, question.function())) {
    QObject::connect(&connection, &WorkbookConnection::accessLost, [this] { boxes.show(MsgAccessLost); });
  }
  void SetUp() override { ASSERT_TRUE(dir.isValid()); }

  void open(const QString& sample) {
    path = copySample(dir, sample, QStringLiteral("run.xls"));
    ASSERT_FALSE(path.isEmpty());
    const Status opened = connection.open(path);
    ASSERT_TRUE(opened) << opened.description().toStdString();
    ASSERT_NE(embedded(), nullptr);
  }
  EmbeddedSpreadsheet* embedded() { return dynamic_cast<EmbeddedSpreadsheet*>(connection.application()); }
  void startAt(const char* column, std::int32_t row) {
    start.atCursorCell = true;
    record.column = QString::fromLatin1(column);
    record.row = row;
  }

  QTemporaryDir dir;
  RunCursor record;
  RunStart start;
  RecordingMessageBoxes boxes;
  ScriptedQuestion question;
  WorkbookConnection connection;
  QString path;
};

const QDateTime When(QDate(2024, 5, 6), QTime(7, 8, 9));

TEST_F(EmbeddedConnectionTest, ARunWritesRowsFromTheGivenStartCell) {
  REQUIRE_XLRD();
  startAt("B", 3);
  open(QStringLiteral("two_sheets.xls"));
  EXPECT_TRUE(embedded()->window()->isVisible());
  ASSERT_TRUE(connection.getStartCell(start));
  EXPECT_EQ(record.columnNo, 2);
  EXPECT_EQ(record.row, 3);

  connection.excelDataSet(0, std::int32_t{42});
  connection.excelDataSet(1, Stamp{When, Stamp::Kind::DateTime});
  connection.excelDataSet(2, QStringLiteral("abc"));
  connection.excelDataSet(3, QStringLiteral("12.5"));
  connection.excelDataSet(4, QStringLiteral("=SUM(A1)"));
  connection.take({});
  connection.excelDataSet(0, std::int32_t{-43});
  connection.excelDataSet(1, Stamp{When, Stamp::Kind::Date});
  connection.excelDataSet(2, Stamp{When, Stamp::Kind::Time});
  EXPECT_EQ(embedded()->window()->grid().currentIndex(), embedded()->window()->model().index(3, 1))
      << "the window follows the cursor";
  ASSERT_TRUE(connection.close());
  EXPECT_EQ(connection.excelState(), ExcelState::NotOpen);
  EXPECT_EQ(connection.application(), nullptr);
  EXPECT_TRUE(boxes.shown.empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
  EXPECT_TRUE(question.asked.empty()) << "closing saves without asking";

  const XlrdView view = readWithXlrd(path);
  ASSERT_TRUE(view.ok) << view.error.toStdString();
  EXPECT_EQ(view.activeSheet, 1) << "the sample's active sheet stays active";
  EXPECT_EQ(view.cursor.at(1), QStringLiteral("3 1")) << "B4, the last cursor position";
  const std::pair<const char*, const char*> expected[] = {
      {"1 2 1", "number\t42"},
      {"1 2 2", "date\t(2024, 5, 6, 7, 8, 9)"},
      {"1 2 3", "text\tabc"},
      {"1 2 4", "number\t12.5"},
      {"1 2 5", "text\t=SUM(A1)"},
      {"1 3 1", "number\t-43"},
      {"1 3 2", "date\t(2024, 5, 6, 0, 0, 0)"},
      {"1 3 3", "date\t(0, 0, 0, 7, 8, 9)"},
      {"0 0 0", "text\ton first"},  // the rest of the workbook is kept
      {"1 0 0", "text\ton second"},
  };
  for (const auto& [k, v] : expected) {
    const QString cellKey = QString::fromLatin1(k);
    ASSERT_TRUE(view.cells.count(cellKey)) << k;
    EXPECT_EQ(view.cells.at(cellKey), QString::fromLatin1(v)) << k;
  }
}

// A stamp into a column too narrow for it widens the column once per run:
// the sheet window shows the new width at once, the saved file holds it for
// xlrd and for our reader. A time fits the default width; the column the
// sample made wider (xlwt's 4000 for column A) stays as it was.
TEST_F(EmbeddedConnectionTest, StampColumnsTooNarrowAreWidenedAndShownSo) {
  startAt("A", 12);
  open(QStringLiteral("formats.xls"));
  ASSERT_TRUE(connection.getStartCell(start));
  SheetWindow& window = *embedded()->window();
  QHeaderView& header = *window.grid().horizontalHeader();
  const int defaultSection = header.defaultSectionSize();
  EXPECT_EQ(header.sectionSize(0), window.columnPixels(4000)) << "the width the sample gave column A";
  connection.excelDataSet(0, Stamp{When, Stamp::Kind::Date});
  connection.excelDataSet(1, Stamp{When, Stamp::Kind::DateTime});
  connection.excelDataSet(2, Stamp{When, Stamp::Kind::Time});
  const std::uint16_t wide = xls::columnWidthForCharacters(WorkbookConnection::stampWidth(Stamp::Kind::DateTime));
  EXPECT_EQ(header.sectionSize(0), window.columnPixels(4000));
  EXPECT_EQ(header.sectionSize(1), window.columnPixels(wide));
  EXPECT_GT(header.sectionSize(1), defaultSection);
  EXPECT_EQ(header.sectionSize(2), defaultSection);
  EXPECT_TRUE(embedded()->hasUnsavedChanges());
  ASSERT_TRUE(connection.close());

  const auto saved = xls::Workbook::open(QFile::encodeName(path).toStdString());
  ASSERT_TRUE(saved.ok()) << saved.description();
  EXPECT_EQ(saved->columnWidth(0, 0), std::optional<std::uint16_t>(4000));
  EXPECT_EQ(saved->columnWidth(0, 1), std::optional<std::uint16_t>(wide));
  EXPECT_EQ(saved->columnWidth(0, 2), std::nullopt);
  if (!xls::testing::haveXlrd()) return;
  const auto run = xls::testing::runPython(R"PY(
import sys, xlrd
s = xlrd.open_workbook(sys.argv[1], formatting_info=True).sheet_by_index(0)
print(sorted((c, i.width) for c, i in s.colinfo_map.items() if c < 5))
)PY",
                                           QFile::encodeName(path).toStdString());
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output, "[(0, 4000), (1, " + std::to_string(wide) + ")]\n");
}

// A stamp keeps its milliseconds in the cell's value whatever it shows; shown
// to the millisecond it gets the formats for that, and the sheet window shows
// what the format does. xlrd reads the saved formats and values (the whole
// days and the milliseconds of the day).
TEST_F(EmbeddedConnectionTest, StampsKeepMillisecondsAndShowThemWhenAsked) {
  REQUIRE_XLRD();
  const struct {
    Stamp::Kind kind;
    bool milliseconds;
    const char* xlrd;   // format|days|ms of the day
    const char* shown;  // in the sheet window
  } cases[] = {
      {Stamp::Kind::Date, false, "yyyy/mm/dd|45418|0", "2024/05/06"},
      {Stamp::Kind::Time, false, "h:mm:ss|0|32703120", "9:05:03"},
      {Stamp::Kind::DateTime, false, "yyyy/mm/dd h:mm:ss|45418|32703120", "2024/05/06 9:05:03"},
      {Stamp::Kind::Date, true, "yyyy/mm/dd|45418|0", "2024/05/06"},
      {Stamp::Kind::Time, true, "hh:mm:ss.000|0|32703120", "09:05:03.120"},
      {Stamp::Kind::DateTime, true, "yyyy/mm/dd hh:mm:ss.000|45418|32703120", "2024/05/06 09:05:03.120"},
  };
  startAt("A", 20);
  open(QStringLiteral("two_sheets.xls"));
  ASSERT_TRUE(connection.getStartCell(start));
  const QDateTime at(QDate(2024, 5, 6), QTime(9, 5, 3, 120));
  std::string expected;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    connection.excelDataSet(static_cast<std::int16_t>(i), Stamp{at, cases[i].kind, cases[i].milliseconds});
    const SheetModel& model = embedded()->window()->model();
    EXPECT_EQ(model.data(model.index(19, static_cast<int>(i))).toString(), QString::fromLatin1(cases[i].shown)) << i;
    expected += std::string(cases[i].xlrd) + "\n";
  }
  ASSERT_TRUE(connection.close());
  const auto run = xls::testing::runPython(R"PY(
import sys, xlrd
b = xlrd.open_workbook(sys.argv[1], formatting_info=True)
for s in b.sheets():
    for c in range(min(s.ncols, 6) if s.nrows > 19 else 0):
        cell = s.cell(19, c)
        f = b.format_map[b.xf_list[cell.xf_index].format_key].format_str
        print("%s|%d|%d" % (f, int(cell.value), round(cell.value * 86400000) % 86400000))
)PY",
                                           QFile::encodeName(path).toStdString());
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output, expected);
}

TEST_F(EmbeddedConnectionTest, ARunStartsAtTheCellTheUserClicked) {
  REQUIRE_XLRD();
  start.atCursorCell = false;
  open(QStringLiteral("formats.xls"));
  SheetWindow& window = *embedded()->window();
  QCoreApplication::processEvents();
  const QModelIndex d5 = window.model().index(4, 3);
  QTest::mouseClick(window.grid().viewport(), Qt::LeftButton, {}, window.grid().visualRect(d5).center());
  ASSERT_TRUE(connection.getStartCell(start));
  EXPECT_EQ(record.columnNo, 4);
  EXPECT_EQ(record.row, 5);
  EXPECT_EQ(record.column, QStringLiteral("D"));
  connection.excelDataSet(0, QStringLiteral("first"));
  connection.excelDataSet(1, std::int32_t{7});
  ASSERT_TRUE(connection.close());

  const XlrdView view = readWithXlrd(path);
  ASSERT_TRUE(view.ok) << view.error.toStdString();
  EXPECT_EQ(view.cells.at(QStringLiteral("0 4 3")), QStringLiteral("text\tfirst"));
  EXPECT_EQ(view.cells.at(QStringLiteral("0 4 4")), QStringLiteral("number\t7"));
  EXPECT_EQ(view.cursor.at(0), QStringLiteral("4 3"));
}

TEST_F(EmbeddedConnectionTest, ClosingTheWindowDuringARunLosesAccessOnce) {
  startAt("A", 10);
  open(QStringLiteral("two_sheets.xls"));
  const QByteArray before = fileBytes(path);
  ASSERT_TRUE(connection.getStartCell(start));
  connection.excelDataSet(0, std::int32_t{1});
  question.answers = {SavePrompt::DontSave};
  embedded()->window()->close();
  EXPECT_EQ(question.asked.size(), 1u) << "the written value was offered for saving";
  EXPECT_TRUE(boxes.shown.empty());

  connection.excelDataSet(1, std::int32_t{2});
  ASSERT_EQ(boxes.texts(), QStringList{MsgAccessLost});
  EXPECT_EQ(connection.excelState(), ExcelState::NotOpen);
  connection.excelDataSet(2, QStringLiteral("later"));
  connection.take({});
  connection.excelDataSet(0, Stamp{When, Stamp::Kind::Date});
  EXPECT_EQ(boxes.shown.size(), 1u) << "later writes are silent";

  EXPECT_TRUE(connection.close());  // nothing left to save
  connection.release();
  EXPECT_EQ(fileBytes(path), before) << "nothing was saved";
  EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST_F(EmbeddedConnectionTest, TheProgramEndOffersUnsavedRowsForSaving) {
  startAt("C", 2);
  open(QStringLiteral("two_sheets.xls"));
  ASSERT_TRUE(connection.getStartCell(start));
  connection.excelDataSet(0, QStringLiteral("kept"));
  connection.take({});
  connection.endRun();
  const QString journal = connection.journalPath();
  ASSERT_TRUE(QFile::exists(journal));
  question.answers = {SavePrompt::Save};
  connection.release();
  EXPECT_EQ(connection.application(), nullptr);
  ASSERT_EQ(question.asked.size(), 1u);
  EXPECT_FALSE(QFile::exists(journal)) << "saved at the end: nothing to bring back";
  const auto saved = xls::Workbook::open(QFile::encodeName(path).toStdString());
  ASSERT_TRUE(saved.ok());
  EXPECT_EQ(saved->cell(1, 1, 2)->value, xls::Value(std::string("kept")));
}

TEST_F(EmbeddedConnectionTest, OpenBringsAnOpenWorkbookForwardAndReopensAfterTheUserClosedIt) {
  startAt("A", 1);
  open(QStringLiteral("two_sheets.xls"));
  SpreadsheetApp* first = connection.application();
  embedded()->window()->showMinimized();
  ASSERT_TRUE(connection.open(path));
  EXPECT_EQ(connection.application(), first) << "the running application is only brought forward";
  EXPECT_FALSE(embedded()->window()->isMinimized());

  embedded()->window()->close();
  ASSERT_TRUE(connection.open(path));
  EXPECT_EQ(connection.excelState(), ExcelState::Open);
  ASSERT_NE(embedded(), nullptr);
  EXPECT_TRUE(embedded()->hasWorkbook());
  EXPECT_TRUE(boxes.shown.empty());
}

// A run on the sheet the user picked, then a crash before anything was saved:
// the next open writes the rows back on that sheet, whichever sheet the file
// has active, and saves them.
TEST_F(EmbeddedConnectionTest, RecoveredRowsGoBackToTheSheetTheRunWroteOn) {
  REQUIRE_XLRD();
  startAt("B", 3);
  open(QStringLiteral("two_sheets.xls"));
  const QByteArray before = fileBytes(path);
  embedded()->window()->tabs().setCurrentIndex(0);  // the file has the second sheet active
  ASSERT_TRUE(connection.getStartCell(start));
  for (std::int32_t n = 1; n <= 2; ++n) {
    connection.excelDataSet(0, n);
    connection.excelDataSet(1, QStringLiteral("12.5"));
    ++record.acquisitionNo;
    connection.take({});
  }
  question.answers = {SavePrompt::DontSave};  // lost as a crash loses them
  connection.release();
  ASSERT_EQ(fileBytes(path), before);

  record = RunCursor{};
  start = RunStart{};
  int recovered = -1;
  QObject::connect(&connection, &WorkbookConnection::rowsRecovered, [&](int rows) { recovered = rows; });
  ASSERT_TRUE(connection.open(path));
  EXPECT_EQ(recovered, 2);
  EXPECT_EQ(record.row, 5);
  EXPECT_EQ(record.acquisitionNo, 2);
  connection.release();  // saved already: nothing left to ask about
  EXPECT_EQ(question.asked.size(), 1u);

  const XlrdView view = readWithXlrd(path);
  ASSERT_TRUE(view.ok) << view.error.toStdString();
  EXPECT_EQ(view.cells.at(QStringLiteral("0 2 1")), QStringLiteral("number\t1"));
  EXPECT_EQ(view.cells.at(QStringLiteral("0 3 1")), QStringLiteral("number\t2"));
  EXPECT_EQ(view.cells.at(QStringLiteral("0 3 2")), QStringLiteral("number\t12.5"));
  EXPECT_EQ(view.cells.count(QStringLiteral("1 2 1")), 0u) << "the second sheet is untouched";
  EXPECT_EQ(view.cells.at(QStringLiteral("1 0 0")), QStringLiteral("text\ton second"));
}

// The application's own saves during a run replace the file; the journal
// follows them, so a crash after one recovers into this workbook, not aside.
TEST_F(EmbeddedConnectionTest, ASaveDuringARunKeepsTheJournalForThisWorkbook) {
  startAt("B", 3);
  open(QStringLiteral("two_sheets.xls"));
  ASSERT_TRUE(connection.getStartCell(start));
  const auto row = [this](std::int32_t n) {
    connection.excelDataSet(0, n);
    connection.take({});
  };
  row(1);
  const QByteArray before = fileBytes(path);
  QSignalSpy done(embedded(), &SpreadsheetApp::backgroundSaveDone);
  connection.saveInBackground();
  ASSERT_TRUE(done.wait(20000));
  ASSERT_TRUE(done.front().at(0).toBool());
  ASSERT_NE(fileBytes(path), before) << "the save replaced the file";
  row(2);
  // A crash: the journal as it stands, the second row never saved.
  const QString journal = connection.journalPath();
  const QByteArray left = fileBytes(journal);
  question.answers = {SavePrompt::DontSave};
  connection.release();
  {
    QFile f(journal);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(left);
  }
  record = RunCursor{};
  start = RunStart{};
  int recovered = -1;
  QObject::connect(&connection, &WorkbookConnection::rowsRecovered, [&](int rows) { recovered = rows; });
  const Status opened = connection.open(path);
  ASSERT_TRUE(opened) << opened.description().toStdString();
  EXPECT_EQ(recovered, 1);
  EXPECT_EQ(record.row, 5);
}

// Stamps recovered at open show whole, as a live run's do: the sheet window
// shows their column at the stamp's width, and the saved file keeps it.
TEST_F(EmbeddedConnectionTest, RecoveredStampColumnsAreWidenedAndShownSo) {
  startAt("B", 3);
  open(QStringLiteral("two_sheets.xls"));
  ASSERT_TRUE(connection.getStartCell(start));
  connection.excelDataSet(0, Stamp{When, Stamp::Kind::DateTime});
  connection.excelDataSet(1, QStringLiteral("12.5"));
  connection.take({});
  question.answers = {SavePrompt::DontSave};  // lost as a crash loses them
  connection.release();

  ASSERT_TRUE(connection.open(path));
  SheetWindow& window = *embedded()->window();
  const std::uint16_t wide = xls::columnWidthForCharacters(WorkbookConnection::stampWidth(Stamp::Kind::DateTime));
  EXPECT_EQ(window.grid().horizontalHeader()->sectionSize(1), window.columnPixels(wide));
  EXPECT_EQ(window.grid().horizontalHeader()->sectionSize(2), window.grid().horizontalHeader()->defaultSectionSize());
  connection.release();
  const auto saved = xls::Workbook::open(QFile::encodeName(path).toStdString());
  ASSERT_TRUE(saved.ok()) << saved.description();
  EXPECT_EQ(saved->columnWidth(saved->activeSheet(), 1), std::optional<std::uint16_t>(wide));
}

}  // namespace
}  // namespace kestrune::sheet::embedded
