#include "sheet/workbook_connection.h"

#include "fakes/fake_spreadsheet.h"
#include "fakes/recording_message_boxes.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <vector>

namespace kestrune::sheet {
namespace {

using testing::FakeSpreadsheet;
using testing::RecordingMessageBoxes;

struct Cursor {
  QString column, row;
};

class WorkbookConnectionTest : public ::testing::Test {
protected:
  WorkbookConnectionTest()
      : connection(record, [this]() -> Result<std::unique_ptr<SpreadsheetApp>> {
          ++created;
          if (refuseStart) return fail(SheetError::CannotStart, QStringLiteral("no application"));
          log = std::make_shared<FakeSpreadsheet::Log>();
          auto app = std::make_unique<FakeSpreadsheet>(log);
          app->failing = failNext;
          fake = app.get();
          return std::unique_ptr<SpreadsheetApp>(std::move(app));
        }) {
    QObject::connect(&connection, &WorkbookConnection::startColumnShown,
                     [this](const QString& l) { cursor.column = l; });
    QObject::connect(&connection, &WorkbookConnection::startRowShown, [this](const QString& r) { cursor.row = r; });
    QObject::connect(&connection, &WorkbookConnection::eventsDue, [this] { ++pumped; });
    QObject::connect(&connection, &WorkbookConnection::stateChanged, [this] { ++refreshed; });
    QObject::connect(&connection, &WorkbookConnection::workbookShown, [this] { ++focused; });
    QObject::connect(&connection, &WorkbookConnection::accessLost, [this] { boxes.show(MsgAccessLost); });
    QObject::connect(&connection, &WorkbookConnection::sheetFull, [this] { ++full; });
    QObject::connect(&connection, &WorkbookConnection::rowsRecovered,
                     [this](int rows, int damagedLines, const QString& keptAs) {
                       recovered.push_back(rows);
                       damaged = damagedLines;
                       damagedKeptAs = keptAs;
                     });
    QObject::connect(&connection, &WorkbookConnection::recoveryFailed,
                     [this](const QString& reason) { recoveryFailures << reason; });
    EXPECT_TRUE(dir.isValid());
    book = dir.filePath(QStringLiteral("book.xls"));
    QFile f(book);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
  }
  void open() { opened = connection.open(book); }
  // As a lost application leaves it: the next write fails.
  void loseAccess() {
    fake->failing = {"setValue"};
    connection.excelDataSet(0, QStringLiteral("x"));
    fake->failing.clear();
    boxes.shown.clear();
  }

  QTemporaryDir dir;
  QString book;
  RunCursor record;
  RunStart start;
  RecordingMessageBoxes boxes;
  Cursor cursor;
  WorkbookConnection connection;
  std::shared_ptr<FakeSpreadsheet::Log> log;
  FakeSpreadsheet* fake = nullptr;
  std::set<std::string> failNext;
  bool refuseStart = false;
  int created = 0, refreshed = 0, focused = 0, pumped = 0, full = 0;
  Status opened;
  std::vector<int> recovered;
  int damaged = 0;
  QString damagedKeptAs;
  QStringList recoveryFailures;
};

// ---- Open and close -------------------------------------------------------

TEST_F(WorkbookConnectionTest, ClosedToOpen) {
  open();
  EXPECT_EQ(connection.excelState(), ExcelState::Open);
  ASSERT_TRUE(opened);
  ASSERT_NE(connection.application(), nullptr);
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
    const Status s = connection.open(path);
    ASSERT_FALSE(s);
    EXPECT_TRUE(s.error().is(SheetError::NotFound));
    EXPECT_EQ(s.description(), path + QStringLiteral("が見つかりません！"));
    EXPECT_EQ(connection.excelState(), ExcelState::NotOpen);
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
  // The failure carries the application's reason; the caller shows it.
  ASSERT_FALSE(opened);
  EXPECT_TRUE(opened.error().is(SheetError::CannotStart));
  EXPECT_FALSE(opened.description().isEmpty());
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(connection.excelState(), ExcelState::NotOpen);
  EXPECT_EQ(connection.application(), nullptr);
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
  RunCursor record;
  RunStart start;
  RecordingMessageBoxes boxes;
  WorkbookConnection connection(record, {});
  int refreshed = 0;
  QObject::connect(&connection, &WorkbookConnection::stateChanged, [&] { ++refreshed; });
  const Status s = connection.open(book);
  ASSERT_FALSE(s);
  EXPECT_TRUE(s.error().is(SheetError::CannotStart));
  EXPECT_EQ(s.description(), QStringLiteral("表計算アプリケーションがありません"));
  EXPECT_EQ(connection.excelState(), ExcelState::NotOpen);
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
  loseAccess();
  open();
  EXPECT_EQ(created, 1);
  EXPECT_EQ(connection.excelState(), ExcelState::NotOpen);
}

TEST_F(WorkbookConnectionTest, OpenWhenTheOldApplicationNoLongerAnswersStartsAfresh) {
  open();
  auto oldLog = log;
  loseAccess();
  fake->failing = {"all"};
  open();
  EXPECT_EQ(created, 2);
  EXPECT_TRUE(oldLog->destroyed);
  EXPECT_EQ(connection.excelState(), ExcelState::Open);
}

TEST_F(WorkbookConnectionTest, CloseSavesThenQuitsAndAlwaysEndsClosed) {
  open();
  auto l = log;
  EXPECT_TRUE(connection.close());
  EXPECT_EQ(std::vector<std::string>(l->calls.end() - 2, l->calls.end()), (std::vector<std::string>{"save", "quit"}));
  EXPECT_EQ(connection.excelState(), ExcelState::NotOpen);
  EXPECT_EQ(connection.application(), nullptr);
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(WorkbookConnectionTest, CloseAfterTheUserEndedTheApplicationIsSilent) {
  open();
  auto l = log;
  fake->failing = {"all"};
  EXPECT_TRUE(connection.close());
  EXPECT_EQ(l->calls.back(), "save");  // the failed save skips the quit
  EXPECT_EQ(connection.excelState(), ExcelState::NotOpen);
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(refreshed, 2);
}

TEST_F(WorkbookConnectionTest, ReleaseLetsGoWithoutQuitting) {
  open();
  auto l = log;
  connection.release();
  EXPECT_TRUE(l->released);
  EXPECT_EQ(std::count(l->calls.begin(), l->calls.end(), "quit"), 0);
  EXPECT_EQ(connection.application(), nullptr);
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
  start.atCursorCell = false;
  EXPECT_TRUE(connection.getStartCell(start));
  EXPECT_EQ(record.column, QString::fromLatin1(GetParam().letters));
  EXPECT_EQ(record.columnNo, GetParam().active.column);
  EXPECT_EQ(record.row, GetParam().active.row);
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
  start.atCursorCell = true;
  record.column = QStringLiteral(" AB ");
  record.row = 7;
  EXPECT_TRUE(connection.getStartCell(start));
  EXPECT_EQ(log->calls[3], "selectRange AB7");
  EXPECT_EQ(log->active, (CellRef{7, 28}));
  EXPECT_EQ(record.columnNo, 28);
  EXPECT_EQ(record.column, QStringLiteral("AB"));
}

TEST_F(WorkbookConnectionTest, EmptyStartColumnIsABareRowNumberAndFails) {
  open();
  start.atCursorCell = true;
  record.column = QStringLiteral("");
  record.row = 12;
  record.columnNo = 9;
  const Status placed = connection.getStartCell(start);
  EXPECT_EQ(log->calls.back(), "selectRange 12");
  ASSERT_FALSE(placed);
  EXPECT_TRUE(placed.error().is(SheetError::AccessLost));
  EXPECT_EQ(placed.description(), QStringLiteral("エクセルにアクセスできません! 再オープンして下さい"));
  EXPECT_EQ(connection.excelState(), ExcelState::NotOpen);
  EXPECT_EQ(record.columnNo, 9);
  EXPECT_EQ(pumped, 0);
}

TEST_F(WorkbookConnectionTest, NothingHappensWhileStateIsZero) {
  record.row = 4;
  EXPECT_TRUE(connection.getStartCell(start));
  connection.take({});
  connection.excelDataSet(0, QStringLiteral("x"));
  EXPECT_EQ(record.row, 4);
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(created, 0);
}

TEST_F(WorkbookConnectionTest, NextCellMoveSelectsTheRowBelow) {
  open();
  record.row = 12;
  record.columnNo = 2;
  connection.take({});
  EXPECT_EQ(record.row, 13);
  EXPECT_EQ(cursor.row, QStringLiteral("13"));
  EXPECT_EQ(log->active, (CellRef{13, 2}));
}

TEST_F(WorkbookConnectionTest, TheLastRowEndsTheRunAndTheNextStartIsRefused) {
  open();
  start.atCursorCell = true;
  record.column = QStringLiteral("A");
  record.row = 65535;
  ASSERT_TRUE(connection.getStartCell(start));
  connection.excelDataSet(0, QStringLiteral("65535"));
  connection.take({});
  EXPECT_EQ(full, 0);
  connection.excelDataSet(0, QStringLiteral("65536"));
  connection.take({});
  // The last row is written; the cursor stays one below it and nothing more is selected.
  EXPECT_EQ(full, 1);
  EXPECT_EQ(log->cells.at({65536, 1}), CellValue(QStringLiteral("65536")));
  EXPECT_EQ(record.row, 65537);
  EXPECT_EQ(connection.excelState(), ExcelState::Open);
  EXPECT_TRUE(boxes.shown.empty());
  const Status next = connection.getStartCell(start);
  ASSERT_FALSE(next);
  EXPECT_TRUE(next.error().is(SheetError::SheetFull));
  EXPECT_TRUE(next.description().contains(QStringLiteral("65537"))) << next.description().toStdString();
  // The same for a start row beyond any sheet, however it got there.
  record.row = 2147483647;
  EXPECT_FALSE(connection.getStartCell(start));
  connection.take({});
  EXPECT_EQ(record.row, 65537);
  EXPECT_EQ(full, 2);
}

// ---- Writing values -------------------------------------------------------

TEST_F(WorkbookConnectionTest, ValuesGoToTheCursorRowAtTheirOffset) {
  open();
  record.row = 3;
  record.columnNo = 2;
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
  record.row = 1;
  record.columnNo = 255;
  connection.excelDataSet(1, QStringLiteral("fits"));
  connection.excelDataSet(2, QStringLiteral("beyond"));
  connection.excelDataSet(3, QStringLiteral("later"));
  connection.take({});
  EXPECT_EQ(log->cells.size(), 1u);
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("エクセルにアクセスできません! 再オープンして下さい")});
  EXPECT_EQ(record.row, 1);
}

TEST_F(WorkbookConnectionTest, SixteenBitColumnOverflowIsAFailure) {
  open();
  record.columnNo = 32767;
  connection.excelDataSet(1, QStringLiteral("x"));
  EXPECT_EQ(connection.excelState(), ExcelState::NotOpen);
  EXPECT_EQ(log->calls.back(), "windowState");  // no write was attempted
}

TEST_F(WorkbookConnectionTest, ApplicationClosedDuringARunShowsTheMessageOnce) {
  open();
  fake->failing = {"all"};
  connection.excelDataSet(0, QStringLiteral("a"));
  connection.excelDataSet(1, QStringLiteral("b"));
  connection.take({});
  EXPECT_TRUE(connection.getStartCell(start));  // nothing to place: the workbook is not open
  EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST_F(WorkbookConnectionTest, AStampColumnIsWidenedOnceARunForItsStamp) {
  open();
  start.atCursorCell = true;
  record.column = QStringLiteral("B");
  record.row = 2;
  ASSERT_TRUE(connection.getStartCell(start));
  const QDateTime when(QDate(2026, 12, 7), QTime(9, 5, 3));
  for (int row = 0; row < 3; ++row) {
    connection.excelDataSet(0, std::int32_t{row});
    connection.excelDataSet(1, Stamp{when, Stamp::Kind::DateTime});
    connection.excelDataSet(2, Stamp{when, Stamp::Kind::Time});
    connection.excelDataSet(3, QStringLiteral("12.5"));
    connection.take({});
  }
  EXPECT_EQ(log->columnWidths, (std::map<int, int>{{3, 19}, {4, 8}}));  // C and D, not the others
  EXPECT_EQ(log->columnWidthCalls, 2);                                  // once each, not once a row
  ASSERT_TRUE(connection.getStartCell(start));                          // the next run looks again
  connection.excelDataSet(1, Stamp{when, Stamp::Kind::Date});
  EXPECT_EQ(log->columnWidthCalls, 3);
  // An application that cannot widen it still gets the value, and the run goes on.
  fake->failing = {"columnWidth"};
  connection.excelDataSet(5, Stamp{when, Stamp::Kind::Date});
  EXPECT_EQ(connection.excelState(), ExcelState::Open);
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_TRUE(log->cells.count({record.row, 7}));
}

// ---- The journal ----------------------------------------------------------

namespace journal {

// A run of `rows` rows of two values each, from row 5 on the sheet "Data".
void writeRows(WorkbookConnection& connection, RunCursor& record, int rows) {
  for (int i = 0; i < rows; ++i) {
    connection.excelDataSet(0, std::int32_t{record.acquisitionNo});
    connection.excelDataSet(1, QStringLiteral("v%1").arg(i));
    ++record.acquisitionNo;
    connection.take({});
  }
}

}  // namespace journal

class JournalTest : public WorkbookConnectionTest {
protected:
  void startRun() {
    open();
    log->activeSheet = {QStringLiteral("Data"), true};
    start.atCursorCell = true;
    record.column = QStringLiteral("B");
    record.row = 5;
    record.acquisitionNo = 100;
    ASSERT_TRUE(connection.getStartCell(start));
  }
  // What a crash leaves: the application and its unsaved cells are gone, the
  // journal as it stood (nothing of a proper end is added to it).
  void crash() {
    const QString journalPath = connection.journalPath();
    QFile journal(journalPath);
    const QByteArray left = journal.open(QIODevice::ReadOnly) ? journal.readAll() : QByteArray();
    journal.close();
    connection.release();
    if (!left.isEmpty() && journal.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
      journal.write(left);
    }
    record = RunCursor{};
    start = RunStart{};
  }
};

// A value in the sheet is in the journal's file at once: a crash before its
// row ends (the script waiting out its interval) loses nothing, and the next
// run starts below that row with the number it would have left.
TEST_F(JournalTest, RowsOfACrashedRunComeBackAtTheirPlacesOnce) {
  start.numbering = true;
  startRun();
  journal::writeRows(connection, record, 3);
  connection.excelDataSet(0, std::int32_t{103});  // a row cut short by the crash
  const QString journalPath = connection.journalPath();
  {
    QFile file(journalPath);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("\ncell\t8\t2\tn\t103\t")) << "the value waits for its row's end";
  }
  crash();

  open();
  ASSERT_TRUE(opened);
  EXPECT_EQ(recovered, std::vector<int>{4});
  EXPECT_EQ(damaged, 0);
  EXPECT_EQ(log->sheets[QStringLiteral("Data")].size(), 7u);
  EXPECT_EQ(log->sheets[QStringLiteral("Data")].at({5, 2}), CellValue(std::int32_t{100}));
  EXPECT_EQ(log->sheets[QStringLiteral("Data")].at({7, 3}), CellValue(QStringLiteral("v2")));
  EXPECT_EQ(log->sheets[QStringLiteral("Data")].at({8, 2}), CellValue(std::int32_t{103}));
  EXPECT_EQ(log->sheets[QStringLiteral("Sheet1")].size(), 0u);
  // The run continues below the rows, and numbering does not repeat.
  EXPECT_EQ(record.row, 9);
  EXPECT_EQ(record.columnNo, 2);
  EXPECT_EQ(record.column, QStringLiteral("B"));
  EXPECT_EQ(record.acquisitionNo, 104);
  EXPECT_EQ(log->active, (CellRef{9, 2}));
  EXPECT_EQ(std::count(log->calls.begin(), log->calls.end(), "save"), 1);
  EXPECT_FALSE(QFile::exists(journalPath));

  // Retired: the next open replays nothing.
  connection.release();
  open();
  EXPECT_EQ(recovered, std::vector<int>{4});
}

// ---- A damaged journal ----------------------------------------------------

struct Damage {
  const char* name;
  // Changes the journal's text (split at LF; the last element follows the last LF).
  std::function<void(QList<QByteArray>&)> apply;
  bool damaging;  // the journal must be kept and the damage told
  int nextRow;    // the cursor after recovery; 0: left as it was
};
void PrintTo(const Damage& d, std::ostream* out) { *out << d.name; }

// The index of the first line starting with `prefix`.
qsizetype lineOf(const QList<QByteArray>& lines, const QByteArray& prefix) {
  for (qsizetype i = 0; i < lines.size(); ++i)
    if (lines[i].startsWith(prefix)) return i;
  ADD_FAILURE() << "no line " << prefix.toStdString();
  return 0;
}

class DamagedJournalTest : public JournalTest, public ::testing::WithParamInterface<Damage> {};

// Five rows (5 to 9) and a sixth cut short (10), then the file is damaged.
// Every row whose lines are intact comes back once at its place, the cursor
// lies below every row that holds data, and a damaged journal is kept as it
// was and the user told.
TEST_P(DamagedJournalTest, LosesNoIntactRowAndNeverSteersTheCursor) {
  start.numbering = true;
  startRun();
  journal::writeRows(connection, record, 2);
  connection.markCell(6, 2);
  journal::writeRows(connection, record, 3);
  connection.excelDataSet(0, std::int32_t{105});
  const QString journalPath = connection.journalPath();
  crash();
  QByteArray text;
  {
    QFile f(journalPath);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    text = f.readAll();
  }
  // The last element is what follows the last LF: nothing, or a cut line.
  QList<QByteArray> lines = text.split('\n');
  const QList<QByteArray> before = lines;
  GetParam().apply(lines);
  const QByteArray damagedText = lines.join('\n');
  {
    QFile f(journalPath);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(damagedText);
  }
  QSet<QByteArray> left;
  for (const QByteArray& l : damagedText.split('\n')) left.insert(l.endsWith('\r') ? l.chopped(1) : l);
  // What must come back: each value whose line and whose row's begin line are whole.
  std::map<std::pair<int, int>, CellValue> wanted, written;
  for (const QByteArray& l : before) {
    const QList<QByteArray> f = l.split('\t');
    if (f[0] != "cell") continue;
    const CellValue value = f[3] == "n" ? CellValue(std::int32_t(f[4].toInt())) : CellValue(QString::fromUtf8(f[4]));
    written[{f[1].toInt(), f[2].toInt()}] = value;
    const auto begin = std::find_if(before.begin(), before.end(),
                                    [&](const QByteArray& b) { return b.startsWith("begin\t" + f[1] + '\t'); });
    if (left.contains(l) && begin != before.end() && left.contains(*begin))
      wanted[{f[1].toInt(), f[2].toInt()}] = value;
  }

  open();
  const auto& data = log->sheets[QStringLiteral("Data")];
  for (const auto& [place, value] : wanted) {
    ASSERT_TRUE(data.count(place)) << "lost: row " << place.first << " column " << place.second;
    EXPECT_EQ(data.at(place), value);
  }
  for (const auto& [place, value] : data) {
    ASSERT_TRUE(written.count(place)) << "a value where none was: row " << place.first;
    EXPECT_EQ(written.at(place), value);
    EXPECT_LT(place.first, record.row) << "the cursor points at a row that holds data";
  }
  if (GetParam().nextRow > 0) {
    EXPECT_EQ(record.row, GetParam().nextRow);
  }
  // The mark comes back when its line is whole.
  const bool markLeft = left.contains(before[lineOf(before, "mark\t")]);
  EXPECT_EQ(log->marks[QStringLiteral("Data")].count({6, 2}) == 1, markLeft);
  EXPECT_EQ(damaged > 0, GetParam().damaging) << damaged;
  if (!GetParam().damaging) {
    EXPECT_FALSE(QFile::exists(journalPath));
    return;
  }
  // Kept as it was, beside the journal, and named in the message.
  ASSERT_FALSE(damagedKeptAs.isEmpty());
  EXPECT_TRUE(QFileInfo(damagedKeptAs).fileName().startsWith(QFileInfo(journalPath).fileName() + ".damaged-"));
  QFile kept(damagedKeptAs);
  ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
  EXPECT_EQ(kept.readAll(), damagedText);
  EXPECT_TRUE(recoveredText(recovered.back(), damaged, damagedKeptAs).contains(damagedKeptAs));
  // The run goes on with a fresh journal.
  ASSERT_TRUE(connection.getStartCell(start));
  connection.excelDataSet(0, QStringLiteral("next"));
  connection.take({});
  const Result<FoundJournal> fresh = findJournal(book);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->contents.damagedLines, 0);
  EXPECT_EQ(fresh->contents.rows.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedJournalTest,
    ::testing::Values(
        Damage{"FlipADigitInARowLine",
               [](QList<QByteArray>& l) {
                 QByteArray& row = l[lineOf(l, "row\t2\t")];
                 row[row.indexOf("\t7\t") + 1] = '2';
               },
               true, 11},
        Damage{"FlipADigitInAValue",
               [](QList<QByteArray>& l) {
                 QByteArray& cell = l[lineOf(l, "cell\t6\t2\t")];
                 cell[cell.indexOf("\tn\t") + 3] = '9';
               },
               true, 11},
        Damage{"InsertASavedLine",
               [](QList<QByteArray>& l) { l.insert(lineOf(l, "begin\t6\t"), "saved\t20\t00000000"); }, true, 11},
        Damage{"FlipADigitInAMark",
               [](QList<QByteArray>& l) {
                 QByteArray& mark = l[lineOf(l, "mark\t")];
                 mark[5] = '8';
               },
               true, 11},
        Damage{"DeleteAValue", [](QList<QByteArray>& l) { l.removeAt(lineOf(l, "cell\t7\t3\t")); }, true, 11},
        Damage{"DeleteARowStart", [](QList<QByteArray>& l) { l.removeAt(lineOf(l, "begin\t7\t")); }, true, 11},
        Damage{"DeleteARowEnd", [](QList<QByteArray>& l) { l.removeAt(lineOf(l, "row\t3\t")); }, true, 11},
        Damage{"DuplicateAValue",
               [](QList<QByteArray>& l) { l.insert(lineOf(l, "cell\t6\t2"), l[lineOf(l, "cell\t6\t2")]); }, true, 11},
        Damage{"DuplicateARowEnd",
               [](QList<QByteArray>& l) { l.insert(lineOf(l, "row\t2\t"), l[lineOf(l, "row\t2\t")]); }, true, 11},
        Damage{"GarbageHeader", [](QList<QByteArray>& l) { l[0] = "kestrune-jour\x01nal 9"; }, true, 11},
        Damage{"NotAJournalAtAll",
               [](QList<QByteArray>& l) {
                 l = {"PK\x03\x04", "binary", ""};
               },
               true, 0},
        // Cut within row 8's second value: as a crash leaves it, no damage.
        Damage{"TruncateInTheMiddle",
               [](QList<QByteArray>& l) {
                 const qsizetype at = lineOf(l, "cell\t8\t3\t");
                 l[at].truncate(8);
                 l = l.mid(0, at + 1);
               },
               false, 9},
        Damage{"CrLfLineEnds",
               [](QList<QByteArray>& l) {
                 for (qsizetype i = 0; i + 1 < l.size(); ++i) l[i] += '\r';
               },
               false, 11}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(JournalTest, RowsABackgroundSaveHeldAreNotCountedAgain) {
  startRun();
  journal::writeRows(connection, record, 2);
  connection.saveInBackground();
  connection.saveInBackground();  // one at a time
  EXPECT_EQ(log->backgroundSaves, 1);
  journal::writeRows(connection, record, 1);
  emit fake->backgroundSaveDone(true, QString());
  journal::writeRows(connection, record, 1);
  crash();
  open();
  EXPECT_EQ(recovered, std::vector<int>{2});  // the two after the saved ones
  EXPECT_EQ(log->sheets[QStringLiteral("Data")].size(), 4u);
  EXPECT_EQ(record.row, 9);
  EXPECT_EQ(record.acquisitionNo, 104);
}

// ---- Marks ----------------------------------------------------------------

struct MarkCase {
  const char* name;
  // After rows 5 and 6: marks B5 and C6, and whatever comes before the crash.
  std::function<void(WorkbookConnection&, FakeSpreadsheet&)> run;
  int rowsRecovered;
};
void PrintTo(const MarkCase& c, std::ostream* out) { *out << c.name; }

class MarkTest : public JournalTest, public ::testing::WithParamInterface<MarkCase> {};

// Every mark comes back at the next open, on its own sheet, whether its row
// was saved or not, and counts as no recovered row; then the journal goes.
TEST_P(MarkTest, EveryMarkComesBackAfterACrash) {
  startRun();
  journal::writeRows(connection, record, 2);
  GetParam().run(connection, *fake);
  crash();
  open();
  ASSERT_TRUE(opened);
  const std::set<std::pair<int, int>> marked{{5, 2}, {6, 3}};
  EXPECT_EQ(log->marks[QStringLiteral("Data")], marked);
  EXPECT_TRUE(log->marks[QStringLiteral("Sheet1")].empty());
  EXPECT_EQ(recovered, std::vector<int>{GetParam().rowsRecovered});
  EXPECT_TRUE(recoveryFailures.isEmpty()) << recoveryFailures.join(u'\n').toStdString();
  EXPECT_FALSE(QFile::exists(journalPathBeside(book)));
}

INSTANTIATE_TEST_SUITE_P(Cases, MarkTest,
                         ::testing::Values(MarkCase{"RowsNotSaved",
                                                    [](WorkbookConnection& c, FakeSpreadsheet&) {
                                                      c.markCell(5, 2);
                                                      c.markCell(6, 3);
                                                    },
                                                    2},
                                           // The save holds both rows but neither mark: the program
                                           // ends without another, and the journal must stay.
                                           MarkCase{"MarkedAfterTheSaveBeganThenTheProgramEnds",
                                                    [](WorkbookConnection& c, FakeSpreadsheet& app) {
                                                      c.saveInBackground();
                                                      c.markCell(5, 2);
                                                      c.markCell(6, 3);
                                                      emit app.backgroundSaveDone(true, QString());
                                                      c.release();
                                                    },
                                                    0},
                                           // Refused like a value: the application is lost, and a
                                           // close that saves keeps the journal for the mark.
                                           MarkCase{"RefusedByTheApplication",
                                                    [](WorkbookConnection& c, FakeSpreadsheet& app) {
                                                      c.markCell(5, 2);
                                                      app.failing = {"mark"};
                                                      c.markCell(6, 3);
                                                      app.failing.clear();
                                                      EXPECT_EQ(c.excelState(), ExcelState::NotOpen);
                                                      const Status closed = c.close();
                                                      ASSERT_FALSE(closed);
                                                      EXPECT_TRUE(closed.error().is(SheetError::RowsNotWritten));
                                                    },
                                                    2}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(JournalTest, AFailedSaveKeepsTheWorkbookOpenAndTheRowsForTheNextOpen) {
  startRun();
  journal::writeRows(connection, record, 2);
  connection.endRun();
  fake->failing = {"save"};
  const Status closed = connection.close();
  ASSERT_FALSE(closed);
  EXPECT_TRUE(closed.error().is(SheetError::NotSaved));
  EXPECT_TRUE(closed.description().contains(connection.journalPath())) << closed.description().toStdString();
  EXPECT_EQ(connection.excelState(), ExcelState::Open);
  EXPECT_NE(connection.application(), nullptr);
  // The cause is fixed, then the program ended without saving: the next open recovers.
  crash();
  open();
  EXPECT_EQ(recovered, std::vector<int>{2});
}

TEST_F(JournalTest, ARecoveryThatCannotSaveKeepsTheJournalAndSaysWhere) {
  startRun();
  journal::writeRows(connection, record, 2);
  const QString journalPath = connection.journalPath();
  crash();
  failNext = {"save"};
  open();
  EXPECT_TRUE(recovered.empty());
  ASSERT_EQ(recoveryFailures.size(), 1);
  EXPECT_TRUE(recoveryFailures[0].contains(journalPath));
  EXPECT_TRUE(QFile::exists(journalPath));
  connection.release();
  failNext.clear();
  open();
  EXPECT_EQ(recovered, std::vector<int>{2});
}

// Rows that cannot go back into the workbook: the journal is kept under its
// own name, and the cursor still moves below its rows, so the next run
// cannot write over the rows the workbook already had from that run.
TEST_F(JournalTest, ARecoveryThatCannotWriteKeepsTheJournalAsideAndTheCursorBelowIt) {
  startRun();
  journal::writeRows(connection, record, 3);
  const std::int32_t below = record.row;
  const QString journalPath = connection.journalPath();
  crash();
  record.row = 2;  // the cursor setup.dat held before the run
  failNext = {"setValue"};
  open();
  EXPECT_EQ(record.row, below);
  EXPECT_EQ(recovered, std::vector<int>{0});  // the cursor was handed on to be kept
  ASSERT_EQ(recoveryFailures.size(), 1);
  EXPECT_TRUE(recoveryFailures[0].contains(QStringLiteral(".unwritten-"))) << recoveryFailures[0].toStdString();
  EXPECT_FALSE(QFile::exists(journalPath));
}

// A link where the journal belongs is a warning, not a failed recovery: the
// run's journal goes to the user's folder and the link's target is untouched.
TEST_F(JournalTest, ALinkWhereTheJournalBelongsIsAWarningAndIsNotFollowed) {
  const QString target = dir.filePath(QStringLiteral("target"));
  ASSERT_TRUE(QFile::link(target, journalPathBeside(book)));
  qputenv("XDG_STATE_HOME", dir.filePath(QStringLiteral("state")).toUtf8());
  struct Unset {
    ~Unset() { qunsetenv("XDG_STATE_HOME"); }
  } unset;
  QStringList warnings;
  QObject::connect(&connection, &WorkbookConnection::journalWarning,
                   [&warnings](const QString& text) { warnings << text; });
  open();
  ASSERT_EQ(warnings.size(), 1);
  EXPECT_TRUE(warnings[0].contains(journalPathBeside(book)));
  EXPECT_TRUE(recoveryFailures.empty());
  startRun();
  journal::writeRows(connection, record, 1);
  EXPECT_TRUE(connection.journalPath().startsWith(dir.filePath(QStringLiteral("state"))));
  EXPECT_FALSE(QFileInfo::exists(target));
  connection.release();
}

TEST_F(JournalTest, ANormalCloseRetiresTheJournal) {
  startRun();
  journal::writeRows(connection, record, 2);
  const QString journalPath = connection.journalPath();
  ASSERT_TRUE(connection.close());
  EXPECT_FALSE(QFile::exists(journalPath));
  open();
  EXPECT_TRUE(recovered.empty());
}

// ---- Whose journal it is --------------------------------------------------

// Puts other bytes in the workbook's place, as a save or another program
// does; `age` sets its modification time that far in the past.
void rewrite(const QString& path, const QByteArray& bytes, std::chrono::seconds age = std::chrono::seconds{0}) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  ASSERT_EQ(f.write(bytes), bytes.size());
  ASSERT_TRUE(f.flush());
  if (age.count() > 0) {
    ASSERT_TRUE(f.setFileTime(QDateTime::currentDateTime().addSecs(-age.count()), QFileDevice::FileModificationTime));
  }
}

QStringList orphansOf(const QString& journalPath) {
  const QFileInfo info(journalPath);
  return info.dir().entryList({info.fileName() + QStringLiteral(".orphan-*")}, QDir::Files);
}

// The fault this guards against: a new workbook put where the old one was
// received the old run's rows at its first open.
TEST_F(JournalTest, AReplacedWorkbookGetsNoRowsAndTheJournalIsKeptForADeliberateReplay) {
  startRun();
  journal::writeRows(connection, record, 3);
  const QString journalPath = connection.journalPath();
  crash();
  rewrite(book, "a new, empty workbook");

  open();
  ASSERT_FALSE(opened);
  EXPECT_TRUE(opened.error().is(SheetError::JournalSetAside));
  EXPECT_EQ(connection.excelState(), ExcelState::Open);
  EXPECT_TRUE(recovered.empty());
  EXPECT_TRUE(log->cells.empty());
  EXPECT_EQ(std::count(log->calls.begin(), log->calls.end(), "save"), 0);
  EXPECT_EQ(record.row, RunCursor{}.row);
  EXPECT_FALSE(QFile::exists(journalPath));
  const QStringList orphans = orphansOf(journalPath);
  ASSERT_EQ(orphans.size(), 1);
  const QString orphan = QFileInfo(journalPath).dir().filePath(orphans[0]);
  EXPECT_TRUE(opened.description().contains(orphan)) << opened.description().toStdString();

  // A run into the new workbook starts a journal of its own.
  ASSERT_TRUE(connection.getStartCell(start));
  connection.excelDataSet(0, QStringLiteral("new"));
  connection.take({});
  connection.endRun();
  EXPECT_TRUE(QFile::exists(journalPath));

  // Replayed on purpose: every row, saved, and the orphan gone.
  log->cells.clear();
  const Result<WorkbookConnection::Replayed> replayed = connection.replayJournal(orphan);
  ASSERT_TRUE(replayed) << replayed.description().toStdString();
  EXPECT_EQ(replayed->rows, 3);
  EXPECT_EQ(replayed->last.nextRow, 8);
  EXPECT_EQ(replayed->last.acquisitionNo, 103);
  EXPECT_TRUE(replayed->retired);
  EXPECT_EQ(log->sheets[QStringLiteral("Data")].at({7, 3}), CellValue(QStringLiteral("v2")));
  EXPECT_EQ(log->cells.size(), 6u);
  EXPECT_EQ(log->calls.back(), "save");
  EXPECT_FALSE(QFile::exists(orphan));
}

TEST_F(JournalTest, ADeliberateReplayThatCannotReadOrSaveKeepsTheJournal) {
  startRun();
  journal::writeRows(connection, record, 2);
  const QString journalPath = connection.journalPath();
  crash();
  const QString kept = dir.filePath(QStringLiteral("kept.journal"));
  ASSERT_TRUE(QFile::rename(journalPath, kept));
  open();
  ASSERT_TRUE(opened);
  const auto missing = connection.replayJournal(dir.filePath(QStringLiteral("none.journal")));
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().is(SheetError::NotFound));
  fake->failing = {"save"};
  const auto unsaved = connection.replayJournal(kept);
  ASSERT_FALSE(unsaved);
  EXPECT_TRUE(unsaved.error().is(SheetError::NotSaved));
  EXPECT_TRUE(QFile::exists(kept));
}

// Journals of the earlier version name no file: they recover into the
// workbook as they always did, whatever it holds now.
TEST_F(JournalTest, AJournalWithoutIdentityRecoversAsBefore) {
  rewrite(book, "the workbook, changed since");
  const QByteArray oldJournal = "kestrune-journal\t1\t" + book.toUtf8() +
                                "\nsheet\tData\ncell\t5\t2\tn\t100\nrow\t6\t2\t101\t" +
                                QByteArray::number(qChecksum(QByteArray("sheet\tData\ncell\t5\t2\tn\t100\n"))) + "\n";
  {
    QFile f(journalPathBeside(book));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(oldJournal);
  }
  open();
  ASSERT_TRUE(opened) << opened.description().toStdString();
  EXPECT_EQ(recovered, std::vector<int>{1});
  EXPECT_EQ(log->sheets[QStringLiteral("Data")].at({5, 2}), CellValue(std::int32_t{100}));
  EXPECT_EQ(record.row, 6);
  EXPECT_FALSE(QFile::exists(journalPathBeside(book)));
}

// Saves the logger makes during a run change the file; the journal follows
// them, so only a file changed by someone else is refused.
enum class Step {
  AskToSave,   // a background save is asked for
  FileSaved,   // the application writes the file
  SaveDone,    // and answers
  SaveFailed,  // or answers that it could not
  SaveSeen,    // the application reports a save of its own (the user's)
  Replaced,    // after the crash: someone else's file
  OldCopy,     // after the crash: a copy from an hour before
};

struct SaveCase {
  const char* name;
  std::vector<Step> during;  // after two rows, before a third
  std::vector<Step> after;   // after the crash
  int recovered;             // -1: the journal is set aside
};
void PrintTo(const SaveCase& c, std::ostream* out) { *out << c.name; }

class SaveDuringARunTest : public JournalTest, public ::testing::WithParamInterface<SaveCase> {
protected:
  void take(const std::vector<Step>& steps) {
    for (const Step step : steps) {
      switch (step) {
        case Step::AskToSave:
          connection.saveInBackground();
          break;
        case Step::FileSaved:
          rewrite(book, "saved, with the rows so far: " + QByteArray::number(++saves));
          break;
        case Step::SaveDone:
          emit fake->backgroundSaveDone(true, QString());
          break;
        case Step::SaveFailed:
          emit fake->backgroundSaveDone(false, QStringLiteral("disk full"));
          break;
        case Step::SaveSeen:
          emit fake->workbookSaved();
          break;
        case Step::Replaced:
          rewrite(book, "someone else's");
          break;
        case Step::OldCopy:
          rewrite(book, "an old copy", std::chrono::hours{1});
          break;
      }
    }
  }
  int saves = 0;
};

TEST_P(SaveDuringARunTest, KeepsTheJournalValidForItsOwnWorkbookOnly) {
  startRun();
  journal::writeRows(connection, record, 2);
  take(GetParam().during);
  journal::writeRows(connection, record, 1);
  const QString journalPath = connection.journalPath();
  crash();
  take(GetParam().after);
  open();
  if (GetParam().recovered < 0) {
    ASSERT_FALSE(opened);
    EXPECT_TRUE(opened.error().is(SheetError::JournalSetAside));
    EXPECT_TRUE(log->cells.empty());
    EXPECT_EQ(orphansOf(journalPath).size(), 1);
    return;
  }
  ASSERT_TRUE(opened) << opened.description().toStdString();
  EXPECT_EQ(recovered, std::vector<int>{GetParam().recovered});
}

using S = Step;
INSTANTIATE_TEST_SUITE_P(
    Cases, SaveDuringARunTest,
    ::testing::Values(SaveCase{"BackgroundSave", {S::AskToSave, S::FileSaved, S::SaveDone}, {}, 1},
                      SaveCase{"SaveTheApplicationReports", {S::FileSaved, S::SaveSeen}, {}, 1},
                      SaveCase{"TwoSaves", {S::AskToSave, S::FileSaved, S::SaveDone, S::FileSaved, S::SaveSeen}, {}, 1},
                      // A crash between the file's replacement and the save's answer.
                      SaveCase{"CrashDuringTheSave", {S::AskToSave, S::FileSaved}, {}, 3},
                      SaveCase{"FailedSave", {S::AskToSave, S::SaveFailed}, {}, 3},
                      SaveCase{"ReplacedAfterTheSave", {S::AskToSave, S::FileSaved, S::SaveDone}, {S::Replaced}, -1},
                      SaveCase{"ReplacedAfterAFailedSave", {S::AskToSave, S::SaveFailed}, {S::Replaced}, -1},
                      SaveCase{"AnOldCopyDuringTheSave", {S::AskToSave}, {S::OldCopy}, -1}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace kestrune::sheet
