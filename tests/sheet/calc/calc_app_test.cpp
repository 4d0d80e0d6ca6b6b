// LibreOffice Calc through UNO, for real: each test starts its own LibreOffice
// (headless), works on a copy of a workbook another program made, and ends
// with no LibreOffice process of its own left running. The lock-file format
// and its judgement are tested in tests/sheet/lock_file_test.cpp.
#include "sheet/calc/calc_app.h"
#include "sheet/lock_file.h"

#include "../xls/xls_test_support.h"
#include "fakes/recording_message_boxes.h"
#include "sheet/workbook_connection.h"

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

#include <csignal>
#include <optional>
#include <unistd.h>
#include <sys/wait.h>

namespace kestrune::sheet::calc {
namespace {

using xls::testing::haveXlrd;
using xls::testing::runPython;
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
  // sheet row col type value: the active sheet is the first here.
  EXPECT_NE(cells.find("0\t4\t2\tnumber\t42\t"), std::string::npos) << cells;
  EXPECT_NE(cells.find("0\t4\t3\tdate\t"), std::string::npos) << cells;
  EXPECT_NE(cells.find("0\t4\t4\tnumber\t12.5\t"), std::string::npos) << cells;
  EXPECT_NE(cells.find("0\t4\t5\ttext\t=1+1\t"), std::string::npos) << cells;
  EXPECT_NE(cells.find("0\t4\t6\ttext\t測定OK\t"), std::string::npos) << cells;
}

TEST_F(CalcAppTest, OperationsWithoutAWorkbookFail) {
  auto app = startApp();
  ASSERT_NE(app, nullptr);
  EXPECT_FALSE(app->selectRange(QStringLiteral("A1")).ok());
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
  EXPECT_FALSE(status.ok());
  EXPECT_FALSE(limit.hasExpired());
  EXPECT_FALSE(app->selectCell(1, 1).ok());
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
  settings::SetupRecord record;
  testing::RecordingMessageBoxes boxes;
  WorkbookConnection connection(record, boxes, calcFactory(options));
  connection.CommandOpen_Click(book, [] {}, {});
  ASSERT_EQ(connection.excelState, ExcelState::Open) << boxes.texts().join(QLatin1Char('\n')).toStdString();
  started.push_back(static_cast<CalcApp*>(connection.xls.get())->processId());
  record.setStartAtCell(true);
  record.startCol = "B";
  record.startRow = 3;
  connection.getStartCell();
  EXPECT_EQ(record.startColNo, 2);
  connection.excelDataSet(0, std::int32_t{7});
  connection.excelDataSet(1, Stamp{QDateTime(QDate(2026, 12, 7), QTime()), Stamp::Kind::Date});
  connection.excelDataSet(2, QStringLiteral("OK"));
  connection.nextCellMove();
  EXPECT_EQ(record.startRow, 4);
  record.setStartAtCell(false);
  connection.getStartCell();  // the current cell: where nextCellMove put the cursor
  EXPECT_EQ(record.startRow, 4);
  EXPECT_EQ(record.startCol, "B");
  connection.CommandClose_Click([] {});
  EXPECT_TRUE(boxes.shown.empty()) << boxes.texts().join(QLatin1Char('\n')).toStdString();
  if (!haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  const std::string cells = dump();
  EXPECT_NE(cells.find("0\t2\t1\tnumber\t7\t"), std::string::npos) << cells;
  EXPECT_NE(cells.find("0\t2\t2\tdate\t"), std::string::npos) << cells;
  EXPECT_NE(cells.find("0\t2\t3\ttext\tOK\t"), std::string::npos) << cells;
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
  EXPECT_NE(cells.find("0\t0\t0\ttext\ttaken over\t"), std::string::npos) << cells;
}

}  // namespace
}  // namespace kestrune::sheet::calc
