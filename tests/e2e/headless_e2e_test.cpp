// Whole acquisitions, end to end: the virtual instrument on a pseudo-terminal,
// kestrune --headless with the built-in spreadsheet application, a real .xls
// file, read back with python3-xlrd; and the acquisition number and the row
// position carried into a second run through setup.dat.
#include "settings/setup_record.h"

#include "sheet/xls/xls_test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <sstream>

#include <sys/stat.h>

namespace kestrune {
namespace {

struct Row {
  std::string number, stampType, first, second;
};

class HeadlessE2eTest : public ::testing::Test {
public:
  // The spreadsheet application the runs use.
  QString spreadsheet = QStringLiteral("embedded");

protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    link = dir.filePath(QStringLiteral("ttyINSTR"));
    instrument.setProgram(QStringLiteral(KESTRUNE_INSTRUMENT_PATH));
    instrument.setArguments({QStringLiteral("--link"), link, QStringLiteral("--reply"), QStringLiteral("{n},測定OK")});
    instrument.start();
    ASSERT_TRUE(instrument.waitForStarted(5000));
    for (int i = 0; i < 100 && !QFileInfo::exists(link); ++i) QThread::msleep(20);  // the device appears
    ASSERT_TRUE(QFileInfo::exists(link));
    writeFile(QStringLiteral("ports.conf"), QStringLiteral("COM1=%1\n").arg(link).toUtf8());
    book = dir.filePath(QStringLiteral("data.xls"));
    ASSERT_EQ(runKestrune({QStringLiteral("--new-workbook"), book}), 0);
  }
  void TearDown() override {
    instrument.terminate();
    if (!instrument.waitForFinished(5000)) instrument.kill();
  }
  void writeFile(const QString& name, const QByteArray& bytes) {
    QFile f(dir.filePath(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  }
  void writeSetup(std::int32_t acquisitionNo, std::int32_t measureCount) {
    settings::SetupRecord r;
    r.setStampMode(settings::StampMode::DateAndTime);
    r.setScriptFromFile(true);
    r.setNumberingOn(true);
    r.acquisitionNo = acquisitionNo;
    r.setStartAtCell(true);
    r.startCol = "B";
    r.startRow = 2;
    r.acquireTimeMs = 60000;
    r.measureCount = measureCount;
    r.commSettings[0] = "9600,n,8,1";
    r.commPort[0] = 1;
    writeFile(QStringLiteral("setup.dat"), *settings::encodeSetupRecord(r));
  }
  settings::SetupRecord readSetup() {
    QFile f(dir.filePath(QStringLiteral("setup.dat")));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    settings::SetupRecord r;
    EXPECT_TRUE(settings::decodeSetupRecord(f.readAll(), r).ok());
    return r;
  }
  int runKestrune(const QStringList& args, QByteArray* out = nullptr, QByteArray* err = nullptr) {
    QProcess p;
    p.setProgram(QStringLiteral(KESTRUNE_PATH));
    p.setArguments(args);
    p.start();
    if (!p.waitForFinished(60000)) {
      p.kill();
      p.waitForFinished();
      return -1;
    }
    if (out) *out = p.readAllStandardOutput();
    if (err) *err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  }
  int runHeadless(QByteArray* out = nullptr, QByteArray* err = nullptr) {
    return runKestrune({QStringLiteral("--headless"), QStringLiteral("--dir"), dir.path(), QStringLiteral("--workbook"),
                        book, QStringLiteral("--spreadsheet"), spreadsheet},
                       out, err);
  }
  // Starts a long headless run polling every 0.2 s and waits until two
  // answers have been logged; false (and the output so far) otherwise.
  bool startLongRun(QProcess& p, QByteArray& out) {
    writeFile(QStringLiteral("data.txt"), "ITM:0.2\r\nSSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nEEE\r\n");
    writeSetup(1, 1000);
    p.setProgram(QStringLiteral(KESTRUNE_PATH));
    p.setArguments(
        {QStringLiteral("--headless"), QStringLiteral("--dir"), dir.path(), QStringLiteral("--workbook"), book});
    p.start();
    if (!p.waitForStarted()) return false;
    for (int i = 0; i < 300 && out.count("○ ") < 2; ++i) {
      p.waitForReadyRead(100);
      out += p.readAllStandardOutput();
    }
    return out.count("○ ") >= 2;
  }
  // Cells of the first sheet by row, from python3-xlrd: "row col type value".
  std::map<int, std::map<int, std::pair<std::string, std::string>>> cells() {
    std::map<int, std::map<int, std::pair<std::string, std::string>>> out;
    const auto run = xls::testing::runPython(xls::testing::XlrdDumpScript, book.toStdString());
    EXPECT_EQ(run.status, 0) << run.output;
    std::istringstream lines(run.output);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream f(line);
      std::string sheet, row, col, type, value;
      if (!std::getline(f, sheet, '\t') || sheet != "0") continue;
      std::getline(f, row, '\t');
      std::getline(f, col, '\t');
      std::getline(f, type, '\t');
      std::getline(f, value, '\t');
      out[std::stoi(row)][std::stoi(col)] = {type, value};
    }
    return out;
  }

  QTemporaryDir dir;
  QString link;
  QString book;
  QProcess instrument;
};

TEST_F(HeadlessE2eTest, TwoRunsWriteRowsAndContinueNumberingAndPosition) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  writeFile(QStringLiteral("data.txt"), "; poll\r\nSSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nEEE\r\n");
  writeSetup(5, 3);
  QByteArray out, err;
  ASSERT_EQ(runHeadless(&out, &err), 0) << err.toStdString();
  EXPECT_EQ(out.count("● MEAS?"), 3) << out.toStdString();
  EXPECT_TRUE(err.contains("スクリプトの処理を終了しました")) << err.toStdString();

  auto sheet = cells();
  for (int i = 0; i < 3; ++i) {
    const int row = 1 + i;  // B2 onward, 0-based here
    EXPECT_EQ(sheet[row][1], std::make_pair(std::string("number"), std::to_string(5 + i))) << row;
    EXPECT_EQ(sheet[row][2].first, "date") << row;
    EXPECT_EQ(sheet[row][3], std::make_pair(std::string("number"), std::to_string(1 + i))) << row;
    EXPECT_EQ(sheet[row][4], std::make_pair(std::string("text"), std::string("測定OK"))) << row;
  }
  settings::SetupRecord after = readSetup();
  EXPECT_EQ(after.acquisitionNo, 8);
  EXPECT_EQ(after.startRow, 5);
  EXPECT_EQ(after.startColNo, 2);

  // The second run starts at the row reached, with the next number.
  after.setStartAtCell(true);
  writeFile(QStringLiteral("setup.dat"), *settings::encodeSetupRecord(after));
  ASSERT_EQ(runHeadless(nullptr, &err), 0) << err.toStdString();
  sheet = cells();
  EXPECT_EQ(sheet[4][1], std::make_pair(std::string("number"), std::string("8")));
  EXPECT_EQ(sheet[6][1], std::make_pair(std::string("number"), std::string("10")));
  EXPECT_EQ(sheet[1][1], std::make_pair(std::string("number"), std::string("5")));  // the first run's rows stay
  EXPECT_EQ(readSetup().acquisitionNo, 11);
}

TEST_F(HeadlessE2eTest, TheSameRunWithLibreOfficeCalc) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  if (QStandardPaths::findExecutable(QStringLiteral("soffice")).isEmpty())
    GTEST_SKIP() << "LibreOffice is not installed";
  if (!KESTRUNE_HAVE_CALC) GTEST_SKIP() << "this build has no LibreOffice backend";
  QByteArray out, err;
  const QFileInfo logBefore(QDir::homePath() + QStringLiteral("/.cache/kestrune/soffice.log"));
  spreadsheet = QStringLiteral("calc");
  writeFile(QStringLiteral("data.txt"), "SSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nEEE\r\n");
  writeSetup(5, 3);
  ASSERT_EQ(runHeadless(&out, &err), 0) << err.toStdString();
  auto sheet = cells();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(sheet[1 + i][1], std::make_pair(std::string("number"), std::to_string(5 + i))) << i;
    EXPECT_EQ(sheet[1 + i][2].first, "date") << i;
    EXPECT_EQ(sheet[1 + i][4], std::make_pair(std::string("text"), std::string("測定OK"))) << i;
  }
  EXPECT_EQ(readSetup().acquisitionNo, 8);
  // LibreOffice really ran: its output went to the log the manual names.
  const QFileInfo logAfter(logBefore.filePath());
  EXPECT_TRUE(logAfter.exists());
  if (logBefore.exists()) {
    EXPECT_GE(logAfter.lastModified(), logBefore.lastModified());
  }
}

TEST_F(HeadlessE2eTest, ARunThatCannotStartExitsWithTwo) {
  writeSetup(1, 3);  // the script file is missing
  QByteArray err;
  EXPECT_EQ(runHeadless(nullptr, &err), 2);
  EXPECT_TRUE(err.contains("がありません")) << err.toStdString();
}

TEST_F(HeadlessE2eTest, NewWorkbookReplacesAnExistingFileOnlyWhenTold) {
  writeFile(QStringLiteral("data.xls"), "months of readings");
  QByteArray err;
  EXPECT_EQ(runKestrune({QStringLiteral("--new-workbook"), book}, nullptr, &err), 1);
  EXPECT_TRUE(err.contains("--overwrite")) << err.toStdString();
  QFile kept(book);
  ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
  EXPECT_EQ(kept.readAll(), QByteArray("months of readings"));
  kept.close();
  EXPECT_EQ(runKestrune({QStringLiteral("--new-workbook"), book, QStringLiteral("--overwrite")}), 0);
  EXPECT_EQ(runKestrune({QStringLiteral("--dump"), book}), 0);  // now an empty workbook
  // A folder is never replaced, told or not.
  ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder.xls")));
  EXPECT_EQ(runKestrune({QStringLiteral("--new-workbook"), dir.filePath(QStringLiteral("folder.xls")),
                         QStringLiteral("--overwrite")}),
            1);
  EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("folder.xls"))).isDir());
}

TEST_F(HeadlessE2eTest, AMissingPortExitsWithTwo) {
  writeFile(QStringLiteral("data.txt"), "SSS\r\nRCV\r\nSET\r\nEEE\r\n");
  writeSetup(1, 3);
  writeFile(QStringLiteral("ports.conf"), "COM1=/dev/kestrune-no-such-port\n");
  QByteArray err;
  EXPECT_EQ(runHeadless(nullptr, &err), 2);
  EXPECT_TRUE(err.contains("通信ポートがオープンできません！")) << err.toStdString();
  // Why, under it: the device path and the reason.
  EXPECT_TRUE(err.contains("/dev/kestrune-no-such-port") && err.contains("見つかりません")) << err.toStdString();
  EXPECT_TRUE(err.contains("通信CH1が使用できません！")) << err.toStdString();
}

TEST_F(HeadlessE2eTest, AnInstrumentThatVanishesAndComesBackLosesNoRow) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  // A streaming instrument behind the link in ports.conf: it goes away in the
  // middle of the run and a new one appears behind the same link.
  instrument.terminate();
  ASSERT_TRUE(instrument.waitForFinished(5000));
  const auto startStreaming = [this](QProcess& p) {
    p.setProgram(QStringLiteral(KESTRUNE_INSTRUMENT_PATH));
    p.setArguments({QStringLiteral("--link"), link, QStringLiteral("--stream"), QStringLiteral("{n},OK"),
                    QStringLiteral("--interval"), QStringLiteral("50")});
    p.start();
    ASSERT_TRUE(p.waitForStarted(5000));
    for (int i = 0; i < 100 && !QFileInfo(link).exists(); ++i) QThread::msleep(20);
    ASSERT_TRUE(QFileInfo(link).exists());
  };
  QProcess first, second;
  startStreaming(first);
  writeFile(QStringLiteral("data.txt"), "SSS\r\nRCV\r\nSET\r\nEEE\r\n");
  writeSetup(1, 30);
  QProcess run;
  run.setProgram(QStringLiteral(KESTRUNE_PATH));
  run.setArguments(
      {QStringLiteral("--headless"), QStringLiteral("--dir"), dir.path(), QStringLiteral("--workbook"), book});
  run.start();
  ASSERT_TRUE(run.waitForStarted());
  QByteArray out, err;
  const auto readUntil = [&](const std::function<bool()>& done) {
    for (int i = 0; i < 300 && !done(); ++i) {
      run.waitForReadyRead(50);
      out += run.readAllStandardOutput();
      err += run.readAllStandardError();
    }
    return done();
  };
  ASSERT_TRUE(readUntil([&] { return out.count("○ ") >= 8; })) << out.toStdString();
  first.terminate();  // the device and its link go away
  ASSERT_TRUE(first.waitForFinished(5000));
  ASSERT_TRUE(readUntil([&] { return err.contains("通信ポートが切断されました"); })) << err.toStdString();
  QThread::msleep(1200);  // away for a while
  startStreaming(second);
  ASSERT_TRUE(run.waitForFinished(60000));
  err += run.readAllStandardError();
  second.terminate();
  second.waitForFinished(5000);
  EXPECT_EQ(run.exitCode(), 0) << err.toStdString();
  EXPECT_TRUE(err.contains("通信ポートに再接続しました")) << err.toStdString();

  // Thirty rows from B2 on, numbered without a gap, each with a reading.
  const auto sheet = cells();
  for (int i = 0; i < 30; ++i) {
    const auto row = sheet.find(1 + i);
    ASSERT_NE(row, sheet.end()) << "row " << i + 2 << " missing";
    EXPECT_EQ(row->second.at(1), std::make_pair(std::string("number"), std::to_string(1 + i))) << i;
    EXPECT_EQ(row->second.count(4), 1u) << "row " << i + 2 << " has no reading";
  }
  EXPECT_EQ(readSetup().acquisitionNo, 31);
}

TEST_F(HeadlessE2eTest, InterruptEndsTheRunAndStillSavesTheRows) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  QProcess p;
  QByteArray out;
  ASSERT_TRUE(startLongRun(p, out)) << out.toStdString();
  ::kill(static_cast<pid_t>(p.processId()), SIGINT);
  ASSERT_TRUE(p.waitForFinished(20000));
  EXPECT_EQ(p.exitCode(), 130);
  auto sheet = cells();
  EXPECT_EQ(sheet[1][1], std::make_pair(std::string("number"), std::string("1")));
  EXPECT_GE(readSetup().acquisitionNo, 2);  // at least the first acquisition was counted and saved
}

TEST_F(HeadlessE2eTest, AKilledRunsLockIsTakenOverByTheNextRun) {
  const QString lock = dir.filePath(QStringLiteral(".~lock.data.xls#"));
  QProcess killed;
  QByteArray out;
  ASSERT_TRUE(startLongRun(killed, out)) << out.toStdString();
  QFile held(lock);
  ASSERT_TRUE(held.open(QIODevice::ReadOnly)) << "the running workbook is locked";
  EXPECT_TRUE(held.readAll().startsWith("Kestrune (" + QByteArray::number(killed.processId()) + "),"));
  ::kill(static_cast<pid_t>(killed.processId()), SIGKILL);
  ASSERT_TRUE(killed.waitForFinished(20000));
  ASSERT_TRUE(QFileInfo::exists(lock)) << "a killed run cannot let go of its lock";

  writeSetup(50, 2);
  QByteArray err;
  EXPECT_EQ(runHeadless(nullptr, &err), 0) << err.toStdString();
  EXPECT_FALSE(QFileInfo::exists(lock)) << "taken over, then let go at the end";
}

TEST_F(HeadlessE2eTest, ANewWorkbookGetsTheModeTheUmaskLeaves) {
  const mode_t umask = ::umask(022);
  ::umask(umask);
  const QString fresh = dir.filePath(QStringLiteral("fresh.xls"));
  ASSERT_EQ(runKestrune({QStringLiteral("--new-workbook"), fresh}), 0);
  struct stat file {};
  ASSERT_EQ(::stat(QFile::encodeName(fresh).constData(), &file), 0);
  EXPECT_EQ(file.st_mode & 0777, 0666 & ~umask);
}

}  // namespace
}  // namespace kestrune
