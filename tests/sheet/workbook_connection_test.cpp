#include "sheet/workbook_connection.h"

#include "fakes/fake_spreadsheet.h"
#include "fakes/recording_message_boxes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kestrune::sheet {
namespace {

using testing::FakeSpreadsheet;
using testing::RecordingMessageBoxes;

struct Cursor final : CursorView {
  void showStartColumn(const QString& l) override { column = l; }
  void showStartRow(const QString& r) override { row = r; }
  QString column, row;
};

class WorkbookConnectionTest : public ::testing::Test {
protected:
  WorkbookConnectionTest()
      : connection(record, boxes, [this]() -> Result<std::unique_ptr<SpreadsheetApp>> {
          ++created;
          if (refuseStart) return fail(QStringLiteral("no application"));
          log = std::make_shared<FakeSpreadsheet::Log>();
          auto app = std::make_unique<FakeSpreadsheet>(log);
          app->failing = failNext;
          fake = app.get();
          return std::unique_ptr<SpreadsheetApp>(std::move(app));
        }) {
    connection.setCursorView(&cursor);
    connection.setEventPump([this] { ++pumped; });
    EXPECT_TRUE(dir.isValid());
    book = dir.filePath(QStringLiteral("book.xls"));
    QFile f(book);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
  }
  void open() {
    connection.CommandOpen_Click(
        book, [this] { ++refreshed; }, [this] { ++focused; });
  }

  QTemporaryDir dir;
  QString book;
  settings::SetupRecord record;
  RecordingMessageBoxes boxes;
  Cursor cursor;
  WorkbookConnection connection;
  std::shared_ptr<FakeSpreadsheet::Log> log;
  FakeSpreadsheet* fake = nullptr;
  std::set<std::string> failNext;
  bool refuseStart = false;
  int created = 0, refreshed = 0, focused = 0, pumped = 0;
};

// ---- Open and close -------------------------------------------------------

TEST_F(WorkbookConnectionTest, ClosedToOpen) {
  open();
  EXPECT_EQ(connection.excelState, ExcelState::Open);
  ASSERT_NE(connection.xls, nullptr);
  EXPECT_EQ(log->openedPath, book.toStdString());
  EXPECT_TRUE(log->visible);
  EXPECT_EQ(log->calls, (std::vector<std::string>{"open", "visible", "windowState"}));
  EXPECT_EQ(focused, 1);
  EXPECT_EQ(refreshed, 1);
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(WorkbookConnectionTest, MissingFileOrAFolderInItsPlaceShowsPathAndChangesNothing) {
  const QString missing = dir.filePath(QStringLiteral("none.xls"));
  const QString folder = dir.filePath(QStringLiteral("folder.xls"));
  ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder.xls")));
  for (const QString& path : {missing, folder}) {
    boxes.shown.clear();
    connection.CommandOpen_Click(path, [this] { ++refreshed; }, {});
    EXPECT_EQ(boxes.texts(), QStringList{path + QStringLiteral("が見つかりません！")});
    EXPECT_EQ(connection.excelState, ExcelState::NotOpen);
    EXPECT_EQ(created, 0);
    EXPECT_EQ(refreshed, 0);
  }
}

struct StartFailureCase {
  const char* name;
  bool refuseStart;
  const char* failing;
};

class StartFailureTest : public WorkbookConnectionTest, public ::testing::WithParamInterface<StartFailureCase> {};

TEST_P(StartFailureTest, ShowsCannotStartAndStaysClosed) {
  refuseStart = GetParam().refuseStart;
  if (*GetParam().failing) failNext = {GetParam().failing};
  open();
  // One box: the start message, with the application's reason under it.
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("エクセルが起動できません！")});
  EXPECT_FALSE(boxes.shown[0].informative.isEmpty());
  EXPECT_EQ(connection.excelState, ExcelState::NotOpen);
  EXPECT_EQ(connection.xls, nullptr);
  EXPECT_EQ(refreshed, 1);
  if (log) {
    EXPECT_TRUE(log->destroyed);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, StartFailureTest,
                         ::testing::Values(StartFailureCase{"NoApplication", true, ""},
                                           StartFailureCase{"OpenFails", false, "open"},
                                           StartFailureCase{"VisibleFails", false, "visible"},
                                           StartFailureCase{"WindowStateFails", false, "windowState"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(WorkbookConnectionWithoutFactoryTest, OpenFailsWithTheStartMessage) {
  QTemporaryDir dir;
  const QString book = dir.filePath(QStringLiteral("b.xls"));
  QFile(book).open(QIODevice::WriteOnly);
  settings::SetupRecord record;
  RecordingMessageBoxes boxes;
  WorkbookConnection connection(record, boxes, {});
  int refreshed = 0;
  connection.CommandOpen_Click(book, [&] { ++refreshed; }, {});
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("エクセルが起動できません！")});
  EXPECT_EQ(boxes.shown[0].informative, QStringLiteral("表計算アプリケーションがありません"));
  EXPECT_EQ(connection.excelState, ExcelState::NotOpen);
  EXPECT_EQ(refreshed, 1);
}

TEST_F(WorkbookConnectionTest, OpenAgainOnlyBringsTheApplicationForward) {
  open();
  FakeSpreadsheet* first = fake;
  log->calls.clear();
  open();
  EXPECT_EQ(created, 1);
  EXPECT_EQ(fake, first);
  EXPECT_EQ(log->calls, (std::vector<std::string>{"visible", "windowState"}));
  EXPECT_EQ(refreshed, 2);
}

TEST_F(WorkbookConnectionTest, LostThenOpenWhileTheOldApplicationAnswersStaysNotOpen) {
  open();
  connection.excelState = ExcelState::NotOpen;  // lost after a failed write
  open();
  EXPECT_EQ(created, 1);
  EXPECT_EQ(connection.excelState, ExcelState::NotOpen);
}

TEST_F(WorkbookConnectionTest, OpenWhenTheOldApplicationNoLongerAnswersStartsAfresh) {
  open();
  auto oldLog = log;
  fake->failing = {"all"};
  connection.excelState = ExcelState::NotOpen;
  open();
  EXPECT_EQ(created, 2);
  EXPECT_TRUE(oldLog->destroyed);
  EXPECT_EQ(connection.excelState, ExcelState::Open);
}

TEST_F(WorkbookConnectionTest, CloseSavesThenQuitsAndAlwaysEndsClosed) {
  open();
  auto l = log;
  connection.CommandClose_Click([this] { ++refreshed; });
  EXPECT_EQ(std::vector<std::string>(l->calls.end() - 2, l->calls.end()), (std::vector<std::string>{"save", "quit"}));
  EXPECT_EQ(connection.excelState, ExcelState::NotOpen);
  EXPECT_EQ(connection.xls, nullptr);
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(WorkbookConnectionTest, CloseAfterTheUserEndedTheApplicationIsSilent) {
  open();
  auto l = log;
  fake->failing = {"all"};
  connection.CommandClose_Click([this] { ++refreshed; });
  EXPECT_EQ(l->calls.back(), "save");  // the failed save skips the quit
  EXPECT_EQ(connection.excelState, ExcelState::NotOpen);
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(refreshed, 2);
}

TEST_F(WorkbookConnectionTest, ReleaseLetsGoWithoutQuitting) {
  open();
  auto l = log;
  connection.release();
  EXPECT_TRUE(l->released);
  EXPECT_EQ(std::count(l->calls.begin(), l->calls.end(), "quit"), 0);
  EXPECT_EQ(connection.xls, nullptr);
}

// ---- The cell cursor ------------------------------------------------------

struct StartCellCase {
  const char* name;
  CellRef active;
  const char* letters;
};

class CurrentCellTest : public WorkbookConnectionTest, public ::testing::WithParamInterface<StartCellCase> {};

TEST_P(CurrentCellTest, TakesTheActiveCell) {
  open();
  fake->lastColumn = 16384;
  log->active = GetParam().active;
  record.setStartAtCell(false);
  connection.getStartCell();
  EXPECT_EQ(record.startCol, QByteArray(GetParam().letters));
  EXPECT_EQ(record.startColNo, GetParam().active.column);
  EXPECT_EQ(record.startRow, GetParam().active.row);
  EXPECT_EQ(cursor.column, QString::fromLatin1(GetParam().letters));
  EXPECT_EQ(cursor.row, QString::number(GetParam().active.row));
  EXPECT_EQ(pumped, 1);
  EXPECT_TRUE(boxes.shown.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, CurrentCellTest,
                         ::testing::Values(StartCellCase{"OneLetter", {5, 3}, "C"}, StartCellCase{"B12", {12, 2}, "B"},
                                           StartCellCase{"TwoLetters", {7, 28}, "AB"},
                                           StartCellCase{"IA", {5, 235}, "IA"},
                                           StartCellCase{"ThreeLettersKeepTwo", {3, 16384}, "XF"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(WorkbookConnectionTest, GivenStartCellIsSelected) {
  open();
  record.setStartAtCell(true);
  record.startCol = " AB ";
  record.startRow = 7;
  connection.getStartCell();
  EXPECT_EQ(log->calls[3], "selectRange AB7");
  EXPECT_EQ(log->active, (CellRef{7, 28}));
  EXPECT_EQ(record.startColNo, 28);
  EXPECT_EQ(record.startCol, "AB");
}

TEST_F(WorkbookConnectionTest, EmptyStartColumnIsABareRowNumberAndFails) {
  open();
  record.setStartAtCell(true);
  record.startCol = "";
  record.startRow = 12;
  record.startColNo = 9;
  connection.getStartCell();
  EXPECT_EQ(log->calls.back(), "selectRange 12");
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("エクセルにアクセスできません! 再オープンして下さい")});
  EXPECT_EQ(connection.excelState, ExcelState::NotOpen);
  EXPECT_EQ(record.startColNo, 9);
  EXPECT_EQ(pumped, 0);
}

TEST_F(WorkbookConnectionTest, NothingHappensWhileStateIsZero) {
  record.startRow = 4;
  connection.getStartCell();
  connection.nextCellMove();
  connection.excelDataSet(0, QStringLiteral("x"));
  EXPECT_EQ(record.startRow, 4);
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(created, 0);
}

TEST_F(WorkbookConnectionTest, NextCellMoveSelectsTheRowBelow) {
  open();
  record.startRow = 12;
  record.startColNo = 2;
  connection.nextCellMove();
  EXPECT_EQ(record.startRow, 13);
  EXPECT_EQ(cursor.row, QStringLiteral("13"));
  EXPECT_EQ(log->active, (CellRef{13, 2}));
}

TEST_F(WorkbookConnectionTest, MovingPastTheLastRowFailsAfterTheRowIsAdvanced) {
  open();
  record.startRow = 65536;
  record.startColNo = 1;
  connection.nextCellMove();
  EXPECT_EQ(record.startRow, 65537);
  EXPECT_EQ(cursor.row, QStringLiteral("65537"));
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("エクセルにアクセスできません! 再オープンして下さい")});
  EXPECT_EQ(connection.excelState, ExcelState::NotOpen);
}

TEST_F(WorkbookConnectionTest, RowOverflowIsAFailure) {
  open();
  record.startRow = 2147483647;
  connection.nextCellMove();
  EXPECT_EQ(record.startRow, 2147483647);
  EXPECT_EQ(connection.excelState, ExcelState::NotOpen);
  EXPECT_EQ(boxes.shown.size(), 1u);
}

// ---- Writing values -------------------------------------------------------

TEST_F(WorkbookConnectionTest, ValuesGoToTheCursorRowAtTheirOffset) {
  open();
  record.startRow = 3;
  record.startColNo = 2;
  const Stamp stamp{QDateTime(QDate(2026, 12, 7), QTime(9, 30)), Stamp::Kind::DateTime};
  connection.excelDataSet(0, std::int32_t{5});
  connection.excelDataSet(1, stamp);
  connection.excelDataSet(2, QStringLiteral("12.5"));
  EXPECT_EQ(log->cells.at({3, 2}), CellValue(std::int32_t{5}));
  EXPECT_EQ(log->cells.at({3, 3}), CellValue(stamp));
  EXPECT_EQ(log->cells.at({3, 4}), CellValue(QStringLiteral("12.5")));
  EXPECT_EQ(log->active, (CellRef{1, 1}));  // writing does not select
}

TEST_F(WorkbookConnectionTest, ColumnBeyondTheSheetFailsOnceThenStaysSilent) {
  open();
  record.startRow = 1;
  record.startColNo = 255;
  connection.excelDataSet(1, QStringLiteral("fits"));
  connection.excelDataSet(2, QStringLiteral("beyond"));
  connection.excelDataSet(3, QStringLiteral("later"));
  connection.nextCellMove();
  EXPECT_EQ(log->cells.size(), 1u);
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("エクセルにアクセスできません! 再オープンして下さい")});
  EXPECT_EQ(record.startRow, 1);
}

TEST_F(WorkbookConnectionTest, SixteenBitColumnOverflowIsAFailure) {
  open();
  record.startColNo = 32767;
  connection.excelDataSet(1, QStringLiteral("x"));
  EXPECT_EQ(connection.excelState, ExcelState::NotOpen);
  EXPECT_EQ(log->calls.back(), "windowState");  // no write was attempted
}

TEST_F(WorkbookConnectionTest, ApplicationClosedDuringARunShowsTheMessageOnce) {
  open();
  fake->failing = {"all"};
  connection.excelDataSet(0, QStringLiteral("a"));
  connection.excelDataSet(1, QStringLiteral("b"));
  connection.nextCellMove();
  connection.getStartCell();
  EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST_F(WorkbookConnectionTest, AStampColumnIsWidenedOnceARunForItsStamp) {
  open();
  record.setStartAtCell(true);
  record.startCol = "B";
  record.startRow = 2;
  connection.getStartCell();
  const QDateTime when(QDate(2026, 12, 7), QTime(9, 5, 3));
  for (int row = 0; row < 3; ++row) {
    connection.excelDataSet(0, std::int32_t{row});
    connection.excelDataSet(1, Stamp{when, Stamp::Kind::DateTime});
    connection.excelDataSet(2, Stamp{when, Stamp::Kind::Time});
    connection.excelDataSet(3, QStringLiteral("12.5"));
    connection.nextCellMove();
  }
  EXPECT_EQ(log->columnWidths, (std::map<int, int>{{3, 19}, {4, 8}}));  // C and D, not the others
  EXPECT_EQ(log->columnWidthCalls, 2);                                  // once each, not once a row
  connection.getStartCell();                                            // the next run looks again
  connection.excelDataSet(1, Stamp{when, Stamp::Kind::Date});
  EXPECT_EQ(log->columnWidthCalls, 3);
  // An application that cannot widen it still gets the value, and the run goes on.
  fake->failing = {"columnWidth"};
  connection.excelDataSet(5, Stamp{when, Stamp::Kind::Date});
  EXPECT_EQ(connection.excelState, ExcelState::Open);
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_TRUE(log->cells.count({record.startRow, 7}));
}

}  // namespace
}  // namespace kestrune::sheet
