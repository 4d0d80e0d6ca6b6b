// LibreOffice Calc through UNO, for real: each test starts its own LibreOffice
// (headless), works on a copy of a workbook another program made, and ends
// with no LibreOffice process of its own left running; the cases about files
// and saving share one LibreOffice. The lock-file format and its judgement
// are tested in tests/sheet/lock_file_test.cpp.
#include "sheet/calc/calc_app.h"
#include "sheet/lock_file.h"

#include "../xls/xls_test_support.h"
#include "fakes/recording_message_boxes.h"
#include "sheet/workbook_connection.h"
#include "sheet/xls/records.h"
#include "sheet/xls/workbook.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUrl>

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>
#include <tuple>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrune::sheet::calc {
namespace {

using xls::testing::globalRecords;
using xls::testing::haveXlrd;
using xls::testing::runPython;
using xls::testing::sheetRecords;
using xls::testing::withId;
using xls::testing::XlrdDumpScript;

// Running processes whose command line mentions `needle` (a zombie has none).
int processesMentioning(const QByteArray& needle) {
  int count = 0;
  for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (pid.toLongLong() > 0 && cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(needle)) ++count;
  }
  return count;
}

QByteArray readAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class CalcAppTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!calcInstalled()) GTEST_SKIP() << "LibreOffice (soffice) is not installed";
    ASSERT_TRUE(dir.isValid());
    book = dir.filePath(QStringLiteral("book.xls"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(KESTRUNE_XLS_TEST_DATA "/two_sheets.xls"), book));
    QFile::setPermissions(book, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    options.headless = true;
    options.callTimeout = std::chrono::milliseconds(5000);
  }
  void TearDown() override {
    // No LibreOffice of ours may outlive the test.
    for (const qint64 pid : started)
      if (::kill(static_cast<pid_t>(-pid), 0) == 0) ::kill(static_cast<pid_t>(-pid), SIGKILL);
  }
  std::unique_ptr<CalcApp> startApp() {
    auto created = CalcApp::start(options);
    EXPECT_TRUE(created.ok()) << created.description().toStdString();
    if (!created) return nullptr;
    auto* app = static_cast<CalcApp*>(std::move(created).value().release());
    started.push_back(app->processId());
    return std::unique_ptr<CalcApp>(app);
  }
  std::string dump() {
    const auto run = runPython(XlrdDumpScript, book.toStdString());
    EXPECT_EQ(run.status, 0) << run.output;
    return run.output;
  }

  QTemporaryDir dir;
  QString book;
  CalcOptions options;
  std::vector<qint64> started;
};

// Needs no LibreOffice: the program named is not there.
TEST(CalcStart, AMissingProgramIsAFailedStart) {
  CalcOptions options;
  options.soffice = QStringLiteral("/nonexistent/soffice");
  EXPECT_FALSE(calcInstalled(options));
  const auto created = CalcApp::start(options);
  ASSERT_FALSE(created.ok());
  EXPECT_TRUE(created.error().is(SheetError::CannotStart));
  EXPECT_EQ(created.description().toStdString(), "LibreOffice (soffice) が見つかりません");
}

TEST_F(CalcAppTest, OpenWriteSaveQuitAndReadBack) {
  auto app = startApp();
  ASSERT_NE(app, nullptr);
  ASSERT_TRUE(app->openWorkbook(book).ok());
  EXPECT_TRUE(QFileInfo::exists(lockFilePath(book)));  // LibreOffice holds the workbook
  ASSERT_TRUE(app->setVisible(true).ok());
  ASSERT_TRUE(app->setWindowStateNormal().ok());
  ASSERT_TRUE(app->selectRange(QStringLiteral("C5")).ok());
  const auto active = app->activeCell();
  ASSERT_TRUE(active.ok()) << active.description().toStdString();
  EXPECT_EQ(*active, (CellRef{5, 3}));
  ASSERT_TRUE(app->setCellValue(5, 3, std::int32_t{42}).ok());
  ASSERT_TRUE(
      app->setCellValue(5, 4, Stamp{QDateTime(QDate(2026, 12, 7), QTime(9, 30, 15)), Stamp::Kind::DateTime}).ok());
  ASSERT_TRUE(app->setCellValue(5, 5, QStringLiteral("12.5")).ok());
  ASSERT_TRUE(app->setCellValue(5, 6, QStringLiteral("=1+1")).ok());
  ASSERT_TRUE(app->setCellValue(5, 7, QStringLiteral("測定OK")).ok());
  ASSERT_TRUE(
      app->setCellValue(5, 8, Stamp{QDateTime(QDate(2026, 12, 7), QTime(9, 30, 15, 120)), Stamp::Kind::DateTime, true})
          .ok());
  ASSERT_TRUE(app->selectCell(6, 3).ok());
  EXPECT_EQ(*app->activeCell(), (CellRef{6, 3}));
  EXPECT_FALSE(app->selectCell(65537, 1).ok());
  EXPECT_FALSE(app->setCellValue(1, 257, QStringLiteral("x")).ok());
  EXPECT_FALSE(app->selectRange(QStringLiteral("12")).ok());
  ASSERT_TRUE(app->saveActiveWorkbook().ok());
  const qint64 pid = app->processId();
  ASSERT_TRUE(app->quit().ok());
  EXPECT_NE(::kill(static_cast<pid_t>(pid), 0), 0);     // the process is gone
  EXPECT_FALSE(QFileInfo::exists(lockFilePath(book)));  // and let go of the workbook
  if (!haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  const std::string cells = dump();
  // sheet row col type value: the file's active sheet is the second.
  EXPECT_NE(cells.find("1\t4\t2\tnumber\t42\t"), std::string::npos) << cells;
  EXPECT_NE(cells.find("1\t4\t3\tdate\t"), std::string::npos) << cells;
  EXPECT_NE(cells.find("1\t4\t4\tnumber\t12.5\t"), std::string::npos) << cells;
  EXPECT_NE(cells.find("1\t4\t5\ttext\t=1+1\t"), std::string::npos) << cells;
  EXPECT_NE(cells.find("1\t4\t6\ttext\t測定OK\t"), std::string::npos) << cells;
  // The stamp to the millisecond: its value keeps them (9:30:15.120), its
  // format shows them (LibreOffice escapes the space: "dd\ hh").
  const std::size_t at = cells.find("1\t4\t7\tdate\t");
  ASSERT_NE(at, std::string::npos) << cells;
  const QStringList f = QString::fromStdString(cells.substr(at, cells.find('\n', at) - at)).split(u'\t');
  EXPECT_EQ(std::llround(f.value(4).toDouble() * 86400000.0) % 86400000, 34215120);
  EXPECT_EQ(f.value(5).toLower().remove(u'\\').toStdString(), "yyyy/mm/dd hh:mm:ss.000");
}

// A mark is the cell's background in the saved file, as near the mark's
// colour as the file's palette allows; the value and the date format stay,
// and marking a marked cell gives the document nothing to save.
TEST_F(CalcAppTest, AMarkIsTheCellsBackgroundInTheSavedFile) {
  auto app = startApp();
  ASSERT_NE(app, nullptr);
  ASSERT_TRUE(app->openWorkbook(book).ok());
  ASSERT_TRUE(app->setCellValue(5, 3, std::int32_t{42}).ok());
  ASSERT_TRUE(app->setCellValue(5, 4, Stamp{QDateTime(QDate(2026, 12, 8), QTime(7, 30)), Stamp::Kind::Date}).ok());
  for (const auto& [row, column] : {std::pair{5, 3}, {5, 4}, {6, 3}})
    ASSERT_TRUE(app->markCell(row, column).ok()) << row << "," << column;
  EXPECT_FALSE(app->markCell(1, 257).ok());
  ASSERT_TRUE(app->saveActiveWorkbook().ok());
  const QDateTime written = QFileInfo(book).lastModified();
  ASSERT_TRUE(app->markCell(5, 3).ok());
  ASSERT_TRUE(app->saveActiveWorkbook().ok());
  EXPECT_EQ(QFileInfo(book).lastModified(), written) << "nothing changed, nothing saved";
  ASSERT_TRUE(app->quit().ok());

  const auto wb = xls::Workbook::open(QFile::encodeName(book).toStdString());
  ASSERT_TRUE(wb.ok()) << wb.description();
  const auto cellAt = [&](std::uint32_t row, std::uint32_t column) { return wb->cell(1, row, column).value(); };
  // Red, then as near as the default palette's nearest (255, 153, 204) at most.
  const auto nearMark = [](const xls::Rgb& c) {
    const int g = c.green - 199, b = c.blue - 206;
    return c.red == 255 && g * g + b * b <= 46 * 46 + 2 * 2;
  };
  for (const auto& [row, column] : {std::pair{4u, 2u}, {4u, 3u}, {5u, 2u}}) {
    const std::optional<xls::Rgb> fill = wb->solidFillOf(cellAt(row, column).xf);
    ASSERT_TRUE(fill) << row << "," << column;
    EXPECT_TRUE(nearMark(*fill)) << int(fill->red) << "," << int(fill->green) << "," << int(fill->blue);
  }
  EXPECT_EQ(cellAt(4, 2).value, xls::Value(42.0));
  EXPECT_TRUE(std::holds_alternative<xls::DateTimeValue>(cellAt(4, 3).value));
  EXPECT_FALSE(wb->solidFillOf(cellAt(4, 4).xf));
}

// A sheet added after the active one ("Second") takes its header row and
// becomes the active sheet; a name in use is refused.
TEST_F(CalcAppTest, AnAddedSheetComesAfterTheActiveOneWithItsHeader) {
  auto app = startApp();
  ASSERT_TRUE(app && app->openWorkbook(book) && app->setCellValue(1, 3, QStringLiteral("見出し")));
  ASSERT_TRUE(app->addSheet(QStringLiteral("Second (2)"), 1));
  EXPECT_FALSE(app->addSheet(QStringLiteral("Second (2)"), 0));
  EXPECT_EQ(app->sheetNames().value(), (QStringList{"First", "Second", "Second (2)"}));
  ASSERT_TRUE(app->setCellValue(2, 3, std::int32_t{8}) && app->saveActiveWorkbook() && app->quit());
  if (!haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  const std::string cells = dump();
  for (const char* line : {"sheet-info\t2\tSecond (2)\t1\t", "2\t0\t2\ttext\t見出し\t", "2\t1\t2\tnumber\t8\t"})
    EXPECT_NE(cells.find(line), std::string::npos) << line << cells;
}

// Every Calc sheet holds cells, so a run never refuses to start in Calc; the
// name is that of the sheet the view shows.
TEST_F(CalcAppTest, TheActiveSheetIsNamedAndHoldsCells) {
  auto app = startApp();
  ASSERT_NE(app, nullptr);
  EXPECT_FALSE(app->activeSheetInfo().ok()) << "no workbook yet";
  ASSERT_TRUE(app->openWorkbook(book).ok());
  const Result<ActiveSheetInfo> info = app->activeSheetInfo();
  ASSERT_TRUE(info.ok()) << info.description().toStdString();
  EXPECT_EQ(info->name, QStringLiteral("Second"));  // the sheet the file has active
  EXPECT_TRUE(info->holdsCells);
  ASSERT_TRUE(app->quit().ok());
}

// Only a text constant reads as text, as in the built-in application: a
// formula's text result, a number and a blank cell read as empty.
TEST_F(CalcAppTest, CellTextReadsTextConstants) {
  auto app = startApp();
  ASSERT_NE(app, nullptr);
  EXPECT_FALSE(app->cellText(1, 1).ok()) << "no workbook yet";
  const QString results = dir.filePath(QStringLiteral("results.xls"));
  ASSERT_TRUE(QFile::copy(QStringLiteral(KESTRUNE_XLS_TEST_DATA "/formula_results.xls"), results));
  QFile::setPermissions(results, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
  ASSERT_TRUE(app->openWorkbook(results).ok());
  ASSERT_TRUE(app->setCellValue(3, 1, QStringLiteral("D 温度")).ok());
  const std::tuple<std::int32_t, std::int32_t, const char*> cells[] = {
      {2, 1, "noted"}, {3, 1, "D 温度"}, {1, 2, ""}, {1, 1, ""}, {4, 4, ""},
  };
  for (const auto& [row, column, text] : cells) {
    const Result<QString> read = app->cellText(row, column);
    ASSERT_TRUE(read.ok()) << row << "," << column << ": " << read.description().toStdString();
    EXPECT_EQ(*read, QString::fromUtf8(text)) << row << "," << column;
  }
  const Result<QString> outside = app->cellText(0, 1);
  EXPECT_TRUE(!outside && outside.error().is(SheetError::OutsideSheet));
  ASSERT_TRUE(app->quit().ok());
}

TEST_F(CalcAppTest, OperationsWithoutAWorkbookFail) {
  auto app = startApp();
  ASSERT_NE(app, nullptr);
  const Status selected = app->selectRange(QStringLiteral("A1"));
  ASSERT_FALSE(selected.ok());
  EXPECT_TRUE(selected.error().is(SheetError::AccessLost));
  EXPECT_EQ(selected.description().toStdString(), "ブックが開いていません");
  EXPECT_FALSE(app->activeCell().ok());
  EXPECT_FALSE(app->setCellValue(1, 1, QStringLiteral("x")).ok());
  EXPECT_FALSE(app->saveActiveWorkbook().ok());
  EXPECT_TRUE(app->quit().ok());
}

TEST_F(CalcAppTest, KilledLibreOfficeMakesTheNextCallFail) {
  auto app = startApp();
  ASSERT_NE(app, nullptr);
  ASSERT_TRUE(app->openWorkbook(book).ok());
  ::kill(static_cast<pid_t>(-app->processId()), SIGKILL);
  QDeadlineTimer deadline(10000);
  Status status;
  do {
    status = app->setCellValue(1, 1, QStringLiteral("x"));
  } while (status.ok() && !deadline.hasExpired());
  EXPECT_FALSE(status.ok());
  EXPECT_FALSE(app->activeCell().ok());
}

TEST_F(CalcAppTest, AHungLibreOfficeIsEndedByTheWatchdog) {
  options.callTimeout = std::chrono::milliseconds(1500);
  auto app = startApp();
  ASSERT_NE(app, nullptr);
  ASSERT_TRUE(app->openWorkbook(book).ok());
  ::kill(static_cast<pid_t>(-app->processId()), SIGSTOP);
  const QDeadlineTimer limit(20000);
  const Status status = app->setCellValue(1, 1, QStringLiteral("x"));
  ASSERT_FALSE(status.ok());
  EXPECT_TRUE(status.error().is(SheetError::AccessLost));
  EXPECT_EQ(status.description().toStdString(), "セルに書き込めません: LibreOffice が応答しないため終了しました");
  EXPECT_FALSE(limit.hasExpired());
  const Status after = app->selectCell(1, 1);
  ASSERT_FALSE(after.ok());
  EXPECT_TRUE(after.error().is(SheetError::AccessLost));
}

TEST_F(CalcAppTest, TheWorkbookClosedBehindOurBackFailsLaterCalls) {
  auto app = startApp();
  ASSERT_NE(app, nullptr);
  ASSERT_TRUE(app->openWorkbook(book).ok());
  bool closing = false;
  QObject::connect(app.get(), &SpreadsheetApp::workbookBeforeClose, app.get(),
                   [&](const QString&, bool*) { closing = true; });
  ASSERT_TRUE(app->setCellValue(1, 1, QStringLiteral("before")).ok());
  ASSERT_TRUE(app->closeWorkbookWindow().ok());
  QDeadlineTimer deadline(5000);
  while (!closing && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_TRUE(closing);  // WorkbookBeforeClose reached the Qt thread
  EXPECT_FALSE(app->setCellValue(1, 1, QStringLiteral("x")).ok());
  EXPECT_FALSE(app->activeCell().ok());
  EXPECT_TRUE(app->quit().ok());
}

// The user closed the workbook's window during a run: at program end there
// is nothing to keep LibreOffice running for, so it ends with us.
TEST_F(CalcAppTest, ALibreOfficeWhoseWorkbookWasClosedEndsAtRelease) {
  auto app = startApp();
  ASSERT_NE(app, nullptr);
  ASSERT_TRUE(app->openWorkbook(book).ok());
  const auto pid = static_cast<pid_t>(app->processId());
  ASSERT_TRUE(app->closeWorkbookWindow().ok());
  QDeadlineTimer closed(5000);
  while (app->activeCell().ok() && !closed.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  app->release();
  app.reset();
  // Its helpers are reaped by init once the group's leader is gone.
  QDeadlineTimer gone(10000);
  while (::kill(-pid, 0) == 0 && !gone.hasExpired()) QThread::msleep(20);
  EXPECT_NE(::kill(-pid, 0), 0) << "LibreOffice's process group is still there";
}

TEST_F(CalcAppTest, VisibleUnderAVirtualXServer) {
  if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty()) GTEST_SKIP() << "Xvfb is not installed";
  QProcess xvfb;
  const QString display = QStringLiteral(":%1").arg(90 + ::getpid() % 100);
  xvfb.start(QStringLiteral("Xvfb"),
             {display, QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1280x1024x24"),
              QStringLiteral("-nolisten"), QStringLiteral("tcp")});
  ASSERT_TRUE(xvfb.waitForStarted(5000));
  QTest::qWait(500);
  const QByteArray savedDisplay = qgetenv("DISPLAY");
  qputenv("DISPLAY", display.toLatin1());  // for the LibreOffice we start, not for our own offscreen tests
  options.headless = false;
  // The first window of a fresh profile takes LibreOffice a few seconds to
  // open; on a busy machine more than the 5 s the other cases allow a call.
  options.callTimeout = std::chrono::milliseconds(30000);
  auto app = startApp();
  if (savedDisplay.isNull())
    qunsetenv("DISPLAY");
  else
    qputenv("DISPLAY", savedDisplay);
  ASSERT_NE(app, nullptr);
  const Status opened = app->openWorkbook(book);
  ASSERT_TRUE(opened.ok()) << opened.description().toStdString();
  EXPECT_TRUE(app->setVisible(true).ok());
  EXPECT_TRUE(app->setWindowStateNormal().ok());
  // A usable window on the screen, whatever the fresh profile remembered.
  const QRect placed = app->windowGeometry();
  EXPECT_GE(placed.width(), 200);
  EXPECT_GE(placed.height(), 150);
  EXPECT_TRUE(QRect(0, 0, 1280, 1024).intersects(placed)) << placed.x() << "," << placed.y();
  EXPECT_TRUE(app->setCellValue(2, 2, QStringLiteral("shown")).ok());
  EXPECT_TRUE(app->saveActiveWorkbook().ok());
  EXPECT_TRUE(app->quit().ok());
  xvfb.terminate();
  xvfb.waitForFinished(5000);
  if (!haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  const std::string cells = dump();
  EXPECT_NE(cells.find("\t1\t1\ttext\tshown\t"), std::string::npos) << cells;
}

TEST_F(CalcAppTest, ThroughTheWorkbookConnection) {
  RunCursor record;
  RunStart start;
  WorkbookConnection connection(record, calcFactory(options));
  const Status opened = connection.open(book);
  ASSERT_TRUE(opened) << opened.description().toStdString();
  started.push_back(static_cast<CalcApp*>(connection.application())->processId());
  start.atCursorCell = true;
  record.column = QStringLiteral("B");
  record.row = 3;
  ASSERT_TRUE(connection.getStartCell(start));
  EXPECT_EQ(record.columnNo, 2);
  connection.excelDataSet(0, std::int32_t{7});
  connection.excelDataSet(1, Stamp{QDateTime(QDate(2026, 12, 7), QTime()), Stamp::Kind::Date});
  connection.excelDataSet(2, QStringLiteral("OK"));
  connection.take({});
  EXPECT_EQ(record.row, 4);
  start.atCursorCell = false;
  ASSERT_TRUE(connection.getStartCell(start));  // the current cell: where the row left the cursor
  EXPECT_EQ(record.row, 4);
  EXPECT_EQ(record.column, QStringLiteral("B"));
  const Status closed = connection.close();
  EXPECT_TRUE(closed) << closed.description().toStdString();
  if (!haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  const std::string cells = dump();
  EXPECT_NE(cells.find("1\t2\t1\tnumber\t7\t"), std::string::npos) << cells;
  EXPECT_NE(cells.find("1\t2\t2\tdate\t"), std::string::npos) << cells;
  EXPECT_NE(cells.find("1\t2\t3\ttext\tOK\t"), std::string::npos) << cells;
}

TEST_F(CalcAppTest, ALiveLockRefusesTheWorkbookAndOneWhoseLibreOfficeDiedDoesNot) {
  auto holder = startApp();
  auto second = startApp();
  ASSERT_NE(holder, nullptr);
  ASSERT_NE(second, nullptr);
  ASSERT_TRUE(holder->openWorkbook(book).ok());
  const QByteArray lock = readAll(lockFilePath(book));
  const std::optional<LockOwner> owner = parseLockFile(lock);
  ASSERT_TRUE(owner.has_value()) << lock.toStdString();

  // Held by a running LibreOffice: refused, naming who holds it, and the lock stays.
  const Status refused = second->openWorkbook(book);
  ASSERT_FALSE(refused.ok());
  const QString reason = refused.description();
  EXPECT_TRUE(reason.contains(QStringLiteral("使用中"))) << reason.toStdString();
  EXPECT_TRUE(reason.contains(owner->user)) << reason.toStdString();
  EXPECT_TRUE(reason.contains(owner->host)) << reason.toStdString();
  EXPECT_EQ(readAll(lockFilePath(book)), lock);

  // The holder's LibreOffice dies without cleaning up: its lock and profile stay behind.
  const pid_t group = static_cast<pid_t>(holder->processId());
  ASSERT_GT(group, 1);
  const QByteArray profile = QUrl(owner->profileUrl).toLocalFile().toUtf8();
  ASSERT_GT(processesMentioning(profile), 0);
  ::kill(-group, SIGKILL);
  const QDeadlineTimer deadline(20000);
  while (processesMentioning(profile) > 0 && !deadline.hasExpired()) QThread::msleep(50);  // the process exiting
  ASSERT_EQ(processesMentioning(profile), 0);
  ASSERT_EQ(readAll(lockFilePath(book)), lock);
  ASSERT_TRUE(QFileInfo::exists(QString::fromUtf8(profile)));

  const Status opened = second->openWorkbook(book);
  ASSERT_TRUE(opened.ok()) << opened.description().toStdString();
  EXPECT_NE(readAll(lockFilePath(book)), lock);  // the lock is now the second one's
  ASSERT_TRUE(second->setCellValue(1, 1, QStringLiteral("taken over")).ok());
  ASSERT_TRUE(second->saveActiveWorkbook().ok());
  EXPECT_TRUE(second->quit().ok());
  EXPECT_FALSE(QFileInfo::exists(lockFilePath(book)));
  holder.reset();
  EXPECT_FALSE(QFileInfo::exists(QString::fromUtf8(profile)));  // the dead holder's profile is removed with it
  if (!haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  const std::string cells = dump();
  EXPECT_NE(cells.find("1\t0\t0\ttext\ttaken over\t"), std::string::npos) << cells;
}

// Files, views and saves: one LibreOffice for all of these cases; each opens
// its own workbook and closes it again.
class CalcFilesTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!calcInstalled()) return;
    CalcOptions options;
    options.headless = true;
    options.callTimeout = std::chrono::milliseconds(10000);
    auto created = CalcApp::start(options);
    if (!created) {
      startFailure = created.description().toStdString();
      return;
    }
    app = static_cast<CalcApp*>(std::move(created).value().release());
  }
  static void TearDownTestSuite() {
    if (!app) return;
    const auto group = static_cast<pid_t>(app->processId());
    EXPECT_TRUE(app->quit().ok());
    delete app;
    app = nullptr;
    if (group > 1 && ::kill(-group, 0) == 0) ::kill(-group, SIGKILL);  // none of ours may outlive the tests
  }
  void SetUp() override {
    if (!calcInstalled()) GTEST_SKIP() << "LibreOffice (soffice) is not installed";
    if (!haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
    ASSERT_NE(app, nullptr) << startFailure;
    ASSERT_TRUE(dir.isValid());
  }
  void TearDown() override {
    // Fails when the case left no workbook open: then there is nothing to close.
    if (app) static_cast<void>(app->closeWorkbookWindow());
  }
  // A copy of two_sheets.xls (the second sheet active) at `path`.
  static void copyBook(const QString& path, QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner) {
    ASSERT_TRUE(QFile::copy(QStringLiteral(KESTRUNE_XLS_TEST_DATA "/two_sheets.xls"), path));
    ASSERT_TRUE(QFile::setPermissions(path, mode));
  }
  static std::string dumpOf(const QString& path) {
    const auto run = runPython(XlrdDumpScript, path.toStdString());
    EXPECT_EQ(run.status, 0) << run.output;
    return run.output;
  }

  static inline CalcApp* app = nullptr;
  static inline std::string startFailure;
  QTemporaryDir dir;
};

// The dump lines of one sheet, its sheet-info line first.
std::string sheetLines(const std::string& dump, int sheet) {
  std::string lines;
  const std::string info = "sheet-info\t" + std::to_string(sheet) + "\t";
  const std::string cell = std::to_string(sheet) + "\t";
  std::size_t at = 0;
  while (at < dump.size()) {
    const std::size_t end = dump.find('\n', at);
    const std::string line = dump.substr(at, end == std::string::npos ? std::string::npos : end - at + 1);
    if (line.rfind(info, 0) == 0 || line.rfind(cell, 0) == 0) lines += line;
    at = end == std::string::npos ? dump.size() : end + 1;
  }
  return lines;
}

std::filesystem::file_time_type mtimeOf(const QString& path) {
  return std::filesystem::last_write_time(QFile::encodeName(path).toStdString());
}
void setOldMtime(const QString& path) {
  std::filesystem::last_write_time(QFile::encodeName(path).toStdString(),
                                   std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 400));
}
unsigned modeOf(const QString& path) {
  struct stat st {};
  return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST_F(CalcFilesTest, RowsStartAtTheActiveSheetAndCellSavedInTheFile) {
  // The second sheet active and C5 its active cell, written by our engine.
  const QString book = dir.filePath(QStringLiteral("view.xls"));
  auto source = xls::Workbook::open(KESTRUNE_XLS_TEST_DATA "/two_sheets.xls");
  ASSERT_TRUE(source.ok());
  xls::Workbook made = std::move(source).value();
  ASSERT_TRUE(made.setActiveSheet(1).ok());
  ASSERT_TRUE(made.setActiveCell(1, 4, 2).ok());
  ASSERT_TRUE(made.save(book.toStdString()).ok());
  // The file says so: WINDOW1's active tab and the second sheet's SELECTION.
  const QByteArray raw = readAll(book);
  const xls::Bytes bytes(raw.begin(), raw.end());
  const auto window1 = withId(globalRecords(bytes), xls::rid::Window1);
  ASSERT_EQ(window1.size(), 1u);
  EXPECT_EQ(xls::getU16(window1[0].body, xls::Window1Record::ActiveSheetAt), 1);
  const auto selection = withId(sheetRecords(bytes, 1), xls::rid::Selection);
  ASSERT_FALSE(selection.empty());
  EXPECT_EQ(xls::getU16(selection[0].body, 1), 4);  // rwAct
  EXPECT_EQ(xls::getU16(selection[0].body, 3), 2);  // colAct
  const std::string before = dumpOf(book);

  const Status opened = app->openWorkbook(book);
  ASSERT_TRUE(opened.ok()) << opened.description().toStdString();
  // A current-cell start reads the active cell: the file's C5.
  const Result<CellRef> start = app->activeCell();
  ASSERT_TRUE(start.ok()) << start.description().toStdString();
  EXPECT_EQ(*start, (CellRef{5, 3}));
  // Two rows as a run writes them: a value and a stamp, then one row down.
  for (std::int32_t row = 5; row <= 6; ++row) {
    ASSERT_TRUE(app->setCellValue(row, 3, std::int32_t{row * 10}).ok());
    ASSERT_TRUE(
        app->setCellValue(row, 4, Stamp{QDateTime(QDate(2026, 12, 7), QTime(9, 0, row)), Stamp::Kind::DateTime}).ok());
    ASSERT_TRUE(app->ensureColumnWidth(4, 19).ok());
    ASSERT_TRUE(app->selectCell(row + 1, 3).ok());
  }
  EXPECT_EQ(*app->activeCell(), (CellRef{7, 3}));
  ASSERT_TRUE(app->selectRange(QStringLiteral("E2")).ok());
  EXPECT_EQ(*app->activeCell(), (CellRef{2, 5}));
  ASSERT_TRUE(app->setCellValue(2, 5, QStringLiteral("range")).ok());
  ASSERT_TRUE(app->saveActiveWorkbook().ok());
  ASSERT_TRUE(app->closeWorkbookWindow().ok());

  const std::string after = dumpOf(book);
  EXPECT_EQ(sheetLines(after, 0), sheetLines(before, 0));  // the first sheet untouched
  const std::string second = sheetLines(after, 1);
  EXPECT_NE(second.find("sheet-info\t1\tSecond\t1\t"), std::string::npos) << second;  // still the active one
  for (const char* cell : {"1\t4\t2\tnumber\t50\t", "1\t5\t2\tnumber\t60\t", "1\t4\t3\tdate\t", "1\t5\t3\tdate\t",
                           "1\t1\t4\ttext\trange\t", "1\t0\t0\ttext\ton second\t", "1\t10\t5\tnumber\t-2.5\t"})
    EXPECT_NE(second.find(cell), std::string::npos) << cell << " in\n" << second;
}

TEST_F(CalcFilesTest, AWorkbookThatCannotBeSavedIsNotOpened) {
  const QFile::Permissions readOnly = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
  const QFile::Permissions readWrite = readOnly | QFile::WriteOwner;
  const QFile::Permissions folderWritable = readWrite | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
  const QFile::Permissions folderReadOnly = readOnly | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
  struct Refusal {
    const char* what;
    const char* opened;  // the name given to openWorkbook
    QFile::Permissions file;
    QFile::Permissions folder;
    QString expected;
  };
  const QString folder = dir.filePath(QStringLiteral("data"));
  const Refusal cases[] = {
      {"no write permission on the file", "book.xls", readOnly, folderWritable,
       QStringLiteral("ブック「book.xls」は読み取り専用です。取得データを保存できないため開けません")},
      {"a link to a read-only file", "link.xls", readOnly, folderWritable,
       QStringLiteral("ブック「link.xls」は読み取り専用です。取得データを保存できないため開けません")},
      {"a folder we cannot write", "book.xls", readWrite, folderReadOnly,
       QStringLiteral("フォルダー「%1」に書き込めないため、取得データを保存できません").arg(folder)},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.what);
    QDir(folder).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString book = folder + QStringLiteral("/book.xls");
    copyBook(book, c.file);
    ASSERT_TRUE(QFile::link(QStringLiteral("book.xls"), folder + QStringLiteral("/link.xls")));
    ASSERT_TRUE(QFile::setPermissions(folder, c.folder));
    const QByteArray bytes = readAll(book);
    const Status refused = app->openWorkbook(folder + QLatin1Char('/') + QLatin1String(c.opened));
    ASSERT_FALSE(refused.ok());
    EXPECT_TRUE(refused.error().is(SheetError::ReadOnly));
    EXPECT_EQ(refused.description().toStdString(), c.expected.toStdString());
    EXPECT_FALSE(QFileInfo::exists(lockFilePath(book)));  // LibreOffice never had it
    EXPECT_EQ(readAll(book), bytes);
    ASSERT_TRUE(QFile::setPermissions(folder, folderWritable));
  }
}

TEST_F(CalcFilesTest, ASaveWritesOnlyChangesThroughALinkIntoItsTargetKeepingThePermissions) {
  ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("real"))));
  const QString target = dir.filePath(QStringLiteral("real/target.xls"));
  const QString link = dir.filePath(QStringLiteral("link.xls"));
  copyBook(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
  ASSERT_EQ(modeOf(target), 0640u);
  ASSERT_TRUE(QFile::link(QStringLiteral("real/target.xls"), link));
  setOldMtime(target);
  const auto untouched = mtimeOf(target);
  const QByteArray original = readAll(target);

  // A run of ours that died left its lock beside the target, where LibreOffice
  // looks; LibreOffice would refuse the workbook while it stays.
  const QString deadProfile = QDir::tempPath() + QLatin1Char('/') + privateProfileFolderName(999999, 1);
  ASSERT_FALSE(QFileInfo::exists(deadProfile));
  const QByteArray staleLock = ",root," + localMachine().hostName.toUtf8() + ",07.12.2026 10:15," +
                               QUrl::fromLocalFile(deadProfile + QStringLiteral("/profile")).toEncoded() + ";";
  {
    QFile lock(lockFilePath(target));
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
    lock.write(staleLock);
  }
  const Status opened = app->openWorkbook(link);
  ASSERT_TRUE(opened.ok()) << opened.description().toStdString();
  const QByteArray lock = readAll(lockFilePath(target));  // LibreOffice locks the file the link names
  EXPECT_FALSE(lock.isEmpty());
  EXPECT_NE(lock, staleLock);
  // Selecting, reading the cursor and a column already wide enough change nothing.
  ASSERT_TRUE(app->selectRange(QStringLiteral("B2")).ok());
  ASSERT_TRUE(app->activeCell().ok());
  ASSERT_TRUE(app->ensureColumnWidth(2, 1).ok());
  ASSERT_TRUE(app->saveActiveWorkbook().ok());
  EXPECT_EQ(readAll(target), original);
  EXPECT_EQ(mtimeOf(target), untouched);

  ASSERT_TRUE(app->setCellValue(3, 2, QStringLiteral("linked")).ok());
  ASSERT_TRUE(app->saveActiveWorkbook().ok());
  EXPECT_TRUE(QFileInfo(link).isSymLink());
  EXPECT_EQ(QFileInfo(link).symLinkTarget(), QFileInfo(target).canonicalFilePath());
  EXPECT_NE(mtimeOf(target), untouched);
  EXPECT_EQ(modeOf(target), 0640u);
  // Saved: nothing new to write until the next change.
  setOldMtime(target);
  const auto saved = mtimeOf(target);
  ASSERT_TRUE(app->saveActiveWorkbook().ok());
  EXPECT_EQ(mtimeOf(target), saved);
  ASSERT_TRUE(app->closeWorkbookWindow().ok());
  EXPECT_NE(sheetLines(dumpOf(target), 1).find("1\t2\t1\ttext\tlinked\t"), std::string::npos);
}

TEST_F(CalcFilesTest, AWorkbookMadeReadOnlyMeanwhileIsNotSavedAndStaysOpen) {
  const QString book = dir.filePath(QStringLiteral("book.xls"));
  copyBook(book);
  ASSERT_TRUE(app->openWorkbook(book).ok());
  ASSERT_TRUE(app->setCellValue(1, 1, QStringLiteral("kept")).ok());
  const QByteArray before = readAll(book);
  ASSERT_TRUE(QFile::setPermissions(book, QFile::ReadOwner | QFile::ReadGroup));
  const Status refused = app->saveActiveWorkbook();
  EXPECT_FALSE(refused.ok());
  EXPECT_EQ(refused.description().toStdString(), "ブック「book.xls」を保存できません。ファイルが読み取り専用です");
  EXPECT_EQ(readAll(book), before);
  EXPECT_EQ(modeOf(book), 0440u);
  // Writable again: the rows are still there and the save goes through.
  ASSERT_TRUE(QFile::setPermissions(book, QFile::ReadOwner | QFile::WriteOwner));
  ASSERT_TRUE(app->saveActiveWorkbook().ok());
  ASSERT_TRUE(app->closeWorkbookWindow().ok());
  EXPECT_NE(dumpOf(book).find("1\t0\t0\ttext\tkept\t"), std::string::npos);
}

// A tmpfs of its own, so that the disk can be filled for real; needs root.
class SmallDisk {
public:
  explicit SmallDisk(const QString& path) : path_(QFile::encodeName(path)) {
    QDir().mkpath(path);
    if (::mount("tmpfs", path_.constData(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k,mode=0755") != 0)
      error_ = std::strerror(errno);
  }
  ~SmallDisk() {
    if (error_.empty()) ::umount2(path_.constData(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  const std::string& error() const { return error_; }
  // Writes `file` until the disk has no room left.
  static bool fill(const QString& file) {
    const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    const std::vector<char> block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    const bool full = errno == ENOSPC;
    ::close(fd);
    return full;
  }

private:
  QByteArray path_;
  std::string error_;
};

TEST_F(CalcFilesTest, ASaveOnAFullDiskFailsWithTheReasonAndTheRowsCanStillBeSaved) {
  SmallDisk disk(dir.filePath(QStringLiteral("small")));
  if (!disk.error().empty()) GTEST_SKIP() << "cannot mount a small tmpfs (needs root): " << disk.error();
  const QString book = dir.filePath(QStringLiteral("small/book.xls"));
  copyBook(book);
  ASSERT_TRUE(app->openWorkbook(book).ok());
  for (std::int32_t row = 1; row <= 300; ++row) ASSERT_TRUE(app->setCellValue(row, 2, row * 7).ok());
  const QByteArray before = readAll(book);
  const QString filler = dir.filePath(QStringLiteral("small/filler"));
  ASSERT_TRUE(SmallDisk::fill(filler));
  const Status failed = app->saveActiveWorkbook();
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.description().toStdString(), "ブック「book.xls」を保存できません。ディスクの空き容量が足りません");
  EXPECT_EQ(readAll(book), before);  // the old file is whole
  // Room again: the same document saves every row.
  ASSERT_TRUE(QFile::remove(filler));
  const Status saved = app->saveActiveWorkbook();
  ASSERT_TRUE(saved.ok()) << saved.description().toStdString();
  ASSERT_TRUE(app->closeWorkbookWindow().ok());
  const std::string cells = dumpOf(book);
  EXPECT_NE(cells.find("1\t299\t1\tnumber\t2100\t"), std::string::npos) << cells;
}

}  // namespace
}  // namespace kestrune::sheet::calc
