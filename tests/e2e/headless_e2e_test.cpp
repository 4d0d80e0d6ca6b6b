// Whole acquisitions, end to end: the virtual instrument on a pseudo-terminal,
// kestrune --headless with the built-in spreadsheet application, a real .xls
// file, read back with python3-xlrd; and the acquisition number and the row
// position carried into a second run through setup.dat.
#include "fakes/raw_setup.h"
#include "settings/setup_record.h"

#include "sheet/xls/xls_test_support.h"
#include "web/web_client.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <random>
#include <set>
#include <sstream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

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
  void writeSetup(std::int32_t acquisitionNo, std::int32_t measureCount, std::int32_t startRow = 2,
                  const char* startCol = "B") {
    testing::RawSetup r;
    r.stampMode = 3;
    r.scriptFromFile = testing::True16;
    r.numberingOn = testing::True16;
    r.acquisitionNo = acquisitionNo;
    r.startAtCell = testing::True16;
    r.startCol = startCol;
    r.startRow = startRow;
    r.acquireTimeMs = 60000;
    r.measureCount = measureCount;
    r.commSettings[0] = "9600,n,8,1";
    r.commPort[0] = 1;
    writeFile(QStringLiteral("setup.dat"), r.bytes());
  }
  settings::SetupRecord readSetup() {
    QFile f(dir.filePath(QStringLiteral("setup.dat")));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    settings::SetupRecord r;
    EXPECT_TRUE(settings::decodeSetupRecord(f.readAll(), r).ok());
    return r;
  }
  // setup.dat with its conditions changed by `edit`.
  template <typename Edit>
  void changeSetup(Edit edit) {
    settings::SetupRecord r = readSetup();
    settings::Conditions c = r.conditions();
    edit(c);
    r.setConditions(c);
    writeFile(QStringLiteral("setup.dat"), *settings::encodeSetupRecord(r));
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
  // A headless run into `book` with the settings in `dir`, started.
  bool startHeadless(QProcess& p, const QStringList& more = {}) {
    p.setProgram(QStringLiteral(KESTRUNE_PATH));
    p.setArguments(QStringList{QStringLiteral("--headless"), QStringLiteral("--dir"), dir.path(),
                               QStringLiteral("--workbook"), book} +
                   more);
    p.start();
    return p.waitForStarted();
  }
  // Collects the run's output until `done` says so (at most 15 s); whether it did.
  static bool readUntil(QProcess& run, QByteArray& out, QByteArray& err, const std::function<bool()>& done) {
    for (int i = 0; i < 300 && !done(); ++i) {
      run.waitForReadyRead(50);
      out += run.readAllStandardOutput();
      err += run.readAllStandardError();
    }
    return done();
  }
  bool startLongRun(QProcess& p, QByteArray& out, const QStringList& more = {}) {
    writeFile(QStringLiteral("data.txt"), "ITM:0.2\r\nSSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nEEE\r\n");
    writeSetup(1, 1000);
    if (!startHeadless(p, more)) return false;
    for (int i = 0; i < 300 && out.count("○ ") < 2; ++i) {
      p.waitForReadyRead(100);
      out += p.readAllStandardOutput();
    }
    if (out.count("○ ") >= 2) return true;
    out += p.readAllStandardError();  // why it did not get going, for the failure's message
    return false;
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

  // The instrument again, sending `line` every `intervalMs` on its own.
  bool restartStreaming(const char* line, int intervalMs) {
    instrument.terminate();
    if (!instrument.waitForFinished(5000)) return false;
    instrument.setArguments({QStringLiteral("--link"), link, QStringLiteral("--stream"), QString::fromUtf8(line),
                             QStringLiteral("--interval"), QString::number(intervalMs)});
    instrument.start();
    if (!instrument.waitForStarted(5000)) return false;
    for (int i = 0; i < 100 && !QFileInfo::exists(link); ++i) QThread::msleep(20);  // the device appears
    return QFileInfo::exists(link);
  }
  // One more headless run in `environment`, to its end: its exit status and
  // standard error.
  std::pair<int, QByteArray> runToEnd(const QProcessEnvironment& environment) {
    QProcess p;
    p.setProcessEnvironment(environment);
    if (!startHeadless(p) || !p.waitForFinished(60000)) return {-1, {}};
    return {p.exitCode(), p.readAllStandardError()};
  }
  // Reads the run's standard output until `count` answers are logged.
  static bool waitForAnswers(QProcess& p, QByteArray& out, int count) {
    for (int i = 0; i < 300 && out.count("○ ") < count && p.state() == QProcess::Running; ++i) {
      p.waitForReadyRead(100);
      out += p.readAllStandardOutput();
    }
    return out.count("○ ") >= count;
  }
  // Mounts a small tmpfs at `folder` (made here); unmounted at the test's end.
  bool mountSmall(const QString& folder, const char* size) {
    QDir().mkpath(folder);
    const QByteArray at = QFile::encodeName(folder);
    if (::mount("tmpfs", at.constData(), "tmpfs", 0, size) != 0) return false;
    mounts.push_back(at);
    return true;
  }
  // Mounts a new 16 MB ext4 image at `folder` through a loop device.
  bool mountExt4(const QString& folder, const QString& image) {
    QDir().mkpath(folder);
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(16 << 20)) return false;
    file.close();
    if (QProcess::execute(QStringLiteral("mkfs.ext4"), {QStringLiteral("-q"), QStringLiteral("-F"), image}) != 0)
      return false;
    if (QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("loop"), image, folder}) != 0)
      return false;
    mounts.push_back(QFile::encodeName(folder));
    return true;
  }
  static void fill(const QString& folder) {
    QFile filler(folder + QStringLiteral("/filler"));
    if (!filler.open(QIODevice::WriteOnly)) return;
    const QByteArray block(4096, 'x');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
  }
  // Rows of the first sheet whose column B holds an acquisition number.
  int numberedRows() {
    int rows = 0;
    for (const auto& [row, columns] : cells())
      if (columns.contains(1) && columns.at(1).first == "number") ++rows;
    return rows;
  }
  struct UnmountAll {
    std::vector<QByteArray>& at;
    ~UnmountAll() {
      for (auto it = at.rbegin(); it != at.rend(); ++it) ::umount2(it->constData(), MNT_DETACH);
    }
  };

  QTemporaryDir dir;
  QString link;
  QString book;
  QProcess instrument;
  std::vector<QByteArray> mounts;
  UnmountAll unmountAll{mounts};
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
  const RunCursor after = readSetup().conditions().cursor;
  EXPECT_EQ(after.acquisitionNo, 8);
  EXPECT_EQ(after.row, 5);
  EXPECT_EQ(after.columnNo, 2);

  // The second run starts at the row reached, with the next number.
  changeSetup([](settings::Conditions& c) { c.startAtCell = true; });
  ASSERT_EQ(runHeadless(nullptr, &err), 0) << err.toStdString();
  sheet = cells();
  EXPECT_EQ(sheet[4][1], std::make_pair(std::string("number"), std::string("8")));
  EXPECT_EQ(sheet[6][1], std::make_pair(std::string("number"), std::string("10")));
  EXPECT_EQ(sheet[1][1], std::make_pair(std::string("number"), std::string("5")));  // the first run's rows stay
  EXPECT_EQ(readSetup().conditions().cursor.acquisitionNo, 11);
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
  EXPECT_EQ(readSetup().conditions().cursor.acquisitionNo, 8);
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

// A workbook whose chart sheet is active: the run is refused with the
// message and exit status 2, no command goes out and the file keeps its
// bytes. With the worksheet made active the same run writes its rows there.
TEST_F(HeadlessE2eTest, AChartSheetActiveRefusesTheRunAndLeavesTheFileAsItWas) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  ASSERT_TRUE(QFile::remove(book));
  ASSERT_TRUE(QFile::copy(QStringLiteral(KESTRUNE_XLS_TEST_DATA "/corpus/chart_sheet_active.xls"), book));
  QFile::setPermissions(book, QFile::ReadOwner | QFile::WriteOwner);
  auto bytes = [&] {
    QFile f(book);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  };
  writeFile(QStringLiteral("data.txt"), "SSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nEEE\r\n");
  writeSetup(5, 2);
  const QByteArray before = bytes();
  QByteArray out, err;
  EXPECT_EQ(runHeadless(&out, &err), 2);
  EXPECT_TRUE(err.contains(QStringLiteral("シート「Chart1」はワークシートではありません。"
                                          "データを書き込むワークシートを選んでから開始してください")
                               .toUtf8()))
      << err.toStdString();
  EXPECT_FALSE(out.contains("MEAS?")) << out.toStdString();
  EXPECT_EQ(bytes(), before) << "nothing written, the file is unchanged";
  EXPECT_EQ(readSetup().conditions().cursor.acquisitionNo, 5);

  auto wb = xls::Workbook::open(book.toStdString());
  ASSERT_TRUE(wb.ok()) << wb.description();
  ASSERT_TRUE(wb->setActiveSheet(0).ok());
  ASSERT_TRUE(wb->save(book.toStdString()).ok());
  ASSERT_EQ(runHeadless(&out, &err), 0) << err.toStdString();
  auto sheet = cells();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(sheet[1 + i][1], std::make_pair(std::string("number"), std::to_string(5 + i))) << i;
    EXPECT_EQ(sheet[1 + i][4], std::make_pair(std::string("text"), std::string("測定OK"))) << i;
  }
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
  // A streaming instrument behind the link in ports.conf: its terminal is
  // hung up under the runner in the middle of the run (as a driver drops a
  // USB adapter) and the same device is back at once.
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
  QProcess first;
  startStreaming(first);
  writeFile(QStringLiteral("data.txt"), "SSS\r\nRCV\r\nSET\r\nEEE\r\n");
  writeSetup(1, 30);
  QProcess run;
  ASSERT_TRUE(startHeadless(run));
  QByteArray out, err;
  ASSERT_TRUE(readUntil(run, out, err, [&] { return out.count("○ ") >= 8; })) << out.toStdString();
  // Root may open the terminal the runner holds exclusively, and hang it up.
  const int terminal = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  const bool hungUp = terminal >= 0 && ::ioctl(terminal, TIOCVHANGUP) == 0;
  if (terminal >= 0) ::close(terminal);
  if (!hungUp) {
    run.kill();
    run.waitForFinished();
    GTEST_SKIP() << "hanging up a terminal needs CAP_SYS_ADMIN";
  }
  ASSERT_TRUE(readUntil(run, out, err, [&] { return err.contains("通信ポートが切断されました"); }))
      << err.toStdString();
  ASSERT_TRUE(run.waitForFinished(60000));
  err += run.readAllStandardError();
  first.terminate();
  first.waitForFinished(5000);
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
  EXPECT_EQ(readSetup().conditions().cursor.acquisitionNo, 31);
}

// Two instruments with their own line settings and end codes: channel 1 is
// asked and answers with CR, channel 2 streams with LF at 19200,e,7,1. Channel
// 2's terminal is hung up mid-run and is back at once: channel 1's values go
// on into every row, the loss and the return are said of channel 2, and
// channel 2's values come back into its own column.
TEST_F(HeadlessE2eTest, OneOfTwoInstrumentsVanishesAndComesBack) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  const QString link2 = dir.filePath(QStringLiteral("ttyBALANCE"));
  QProcess balance;
  balance.setProgram(QStringLiteral(KESTRUNE_INSTRUMENT_PATH));
  balance.setArguments({QStringLiteral("--link"), link2, QStringLiteral("--stream"), QStringLiteral("w{n}"),
                        QStringLiteral("--interval"), QStringLiteral("40"), QStringLiteral("--eol"),
                        QStringLiteral("LF")});
  balance.start();
  ASSERT_TRUE(balance.waitForStarted(5000));
  for (int i = 0; i < 100 && !QFileInfo::exists(link2); ++i) QThread::msleep(20);
  ASSERT_TRUE(QFileInfo::exists(link2));
  writeFile(QStringLiteral("ports.conf"), QStringLiteral("COM1=%1\nCOM2=%2\n").arg(link, link2).toUtf8());
  writeFile(QStringLiteral("data.txt"),
            "CHN:2\r\nECD:%LF\r\nRTM:0.5\r\nCHN:1\r\nITM:0.1\r\nSSS\r\n"
            "SND:MEAS?%CR\r\nCHN:2\r\nCLR\r\nRCV\r\nCHN:1\r\nRCV\r\n"
            "SET\r\nEEE\r\n");
  constexpr int Rows = 40;
  {
    testing::RawSetup r;
    r.stampMode = 3;
    r.scriptFromFile = testing::True16;
    r.numberingOn = testing::True16;
    r.acquisitionNo = 1;
    r.startAtCell = testing::True16;
    r.startCol = "B";
    r.startRow = 2;
    r.acquireTimeMs = 120000;
    r.measureCount = Rows;
    r.commSettings[0] = "9600,n,8,1";
    r.commPort[0] = 1;
    r.commSettings[1] = "19200,e,7,1";
    r.commPort[1] = 2;
    writeFile(QStringLiteral("setup.dat"), r.bytes());
  }
  QProcess run;
  ASSERT_TRUE(startHeadless(run));
  QByteArray out, err;
  ASSERT_TRUE(readUntil(run, out, err, [&] { return out.count("CH2 ○ ") >= 8; }))
      << out.toStdString() << err.toStdString();
  const int terminal = ::open(QFile::encodeName(link2).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  const bool hungUp = terminal >= 0 && ::ioctl(terminal, TIOCVHANGUP) == 0;
  if (terminal >= 0) ::close(terminal);
  if (!hungUp) {
    run.kill();
    run.waitForFinished();
    GTEST_SKIP() << "hanging up a terminal needs CAP_SYS_ADMIN";
  }
  ASSERT_TRUE(run.waitForFinished(120000));
  out += run.readAllStandardOutput();
  err += run.readAllStandardError();
  balance.terminate();
  balance.waitForFinished(5000);
  EXPECT_EQ(run.exitCode(), 0) << err.toStdString();
  // "CH2 7:12:23 通信ポートが切断されました": the channel, the time, the news.
  const auto said = [&err](const char* channel, const char* news) {
    return QString::fromUtf8(err).contains(
        QRegularExpression(QStringLiteral("%1 [0-9:]+ %2").arg(QLatin1String(channel), QString::fromUtf8(news))));
  };
  EXPECT_TRUE(said("CH2", "通信ポートが切断されました")) << err.toStdString();
  EXPECT_TRUE(said("CH2", "通信ポートに再接続しました")) << err.toStdString();
  EXPECT_FALSE(said("CH1", "通信ポートが切断されました")) << err.toStdString();

  // B number, C stamp, D channel 2's reading (collected first), E and F
  // channel 1's answer.
  const auto sheet = cells();
  int balanceValues = 0;
  for (int i = 0; i < Rows; ++i) {
    const auto row = sheet.find(1 + i);
    ASSERT_NE(row, sheet.end()) << "row " << i + 2 << " missing";
    EXPECT_EQ(row->second.at(1), std::make_pair(std::string("number"), std::to_string(1 + i))) << i;
    ASSERT_EQ(row->second.count(5), 1u) << "row " << i + 2 << " lacks channel 1's answer";
    EXPECT_EQ(row->second.at(5).second, "測定OK") << i;
    if (row->second.count(3) == 1 && row->second.at(3).second.rfind('w', 0) == 0) ++balanceValues;
  }
  // Channel 2 gives a reading before the hang-up and again after its return.
  EXPECT_GE(balanceValues, 8 + 5);
  const auto last = sheet.find(Rows);
  ASSERT_NE(last, sheet.end());
  EXPECT_EQ(last->second.count(3), 1u) << "channel 2 did not come back into its column";
}

TEST_F(HeadlessE2eTest, AStoppedRunnerLosesNoLineWithoutAWord) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  // An instrument streams a counter, 50 lines a second. The runner is
  // stopped (SIGSTOP) for three seconds: about 150 lines wait in the
  // terminal, more than one row holds.
  ASSERT_TRUE(restartStreaming("{n}", 20));
  writeFile(QStringLiteral("data.txt"), "SSS\r\nRCV\r\nSET\r\nEEE\r\n");
  constexpr int kRows = 40;
  writeSetup(1, kRows);
  QProcess run;
  ASSERT_TRUE(startHeadless(run));
  QByteArray out;
  for (int i = 0; i < 300 && out.count("○ ") < 5; ++i) {
    run.waitForReadyRead(50);
    out += run.readAllStandardOutput();
  }
  ASSERT_GE(out.count("○ "), 5) << out.toStdString() << run.readAllStandardError().toStdString();
  const auto pid = static_cast<pid_t>(run.processId());
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  QThread::msleep(3000);  // the stall
  ASSERT_EQ(::kill(pid, SIGCONT), 0);
  ASSERT_TRUE(run.waitForFinished(60000));
  out += run.readAllStandardOutput();
  const QByteArray err = run.readAllStandardError();
  ASSERT_EQ(run.exitCode(), 0) << err.toStdString();

  // The counter's values in the order of the rows and their cells (number in
  // B, stamp in C, readings from D on): a gap is a lost line, and every lost
  // line must be one the log counted.
  std::vector<long> values;
  const auto sheet = cells();
  for (int r = 1; r <= kRows; ++r) {
    const auto row = sheet.find(r);
    ASSERT_NE(row, sheet.end()) << "row " << r + 1 << " missing";
    for (const auto& [col, cell] : row->second)
      if (col >= 3) values.push_back(std::stol(cell.second));
  }
  ASSERT_FALSE(values.empty());
  long missing = 0;
  for (std::size_t i = 1; i < values.size(); ++i) {
    ASSERT_GT(values[i], values[i - 1]) << "out of order at " << i;
    missing += values[i] - values[i - 1] - 1;
  }
  long counted = 0;
  const QString log = QString::fromUtf8(out);
  for (const char* said : {"受信行を(\\d+)行", "(\\d+)個の値を捨てました"})
    for (auto it = QRegularExpression(QString::fromUtf8(said)).globalMatch(log); it.hasNext();)
      counted += it.next().captured(1).toLong();
  EXPECT_EQ(missing, counted) << log.toStdString();
  // The stall's lines came in after it: one row holds more than a line.
  const auto longest = std::max_element(sheet.begin(), sheet.end(),
                                        [](const auto& a, const auto& b) { return a.second.size() < b.second.size(); });
  EXPECT_GT(longest->second.size(), 2u + 50u) << "no row took the stall's lines";
}

TEST_F(HeadlessE2eTest, SignalsEndTheRunAndStillSaveTheRows) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  // Ctrl+C, a stop request, a closed terminal or SSH session, Ctrl+\.
  for (const auto& [signal, status] : {std::pair{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}, {SIGQUIT, 131}}) {
    QProcess p;
    QByteArray out;
    ASSERT_TRUE(startLongRun(p, out)) << out.toStdString();
    ::kill(static_cast<pid_t>(p.processId()), signal);
    ASSERT_TRUE(p.waitForFinished(20000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << signal;
    EXPECT_EQ(p.exitCode(), status) << signal;
    auto sheet = cells();
    EXPECT_EQ(sheet[1][1], std::make_pair(std::string("number"), std::string("1"))) << signal;
    EXPECT_GE(readSetup().conditions().cursor.acquisitionNo, 2)
        << signal;  // at least the first acquisition was counted and saved
    EXPECT_FALSE(QFileInfo::exists(book + QStringLiteral(".kestrune-journal"))) << "a saved run leaves no journal";
  }
}

// A run killed, then a new workbook put in the old one's place: its first run
// writes only its own rows and says where the old rows were kept; --recover
// then writes them into the workbook the user names.
TEST_F(HeadlessE2eTest, AReplacedWorkbookGetsNoOldRowsUntilRecoveredOnPurpose) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  {
    QProcess killed;
    QByteArray out;
    ASSERT_TRUE(startLongRun(killed, out)) << out.toStdString();
    ::kill(static_cast<pid_t>(killed.processId()), SIGKILL);
    ASSERT_TRUE(killed.waitForFinished(10000));
  }
  const QString journal = book + QStringLiteral(".kestrune-journal");
  ASSERT_TRUE(QFileInfo::exists(journal));
  ASSERT_EQ(runKestrune({QStringLiteral("--new-workbook"), book, QStringLiteral("--overwrite")}), 0);

  writeFile(QStringLiteral("data.txt"), "SSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nEEE\r\n");
  writeSetup(50, 1, 10);
  QByteArray err;
  ASSERT_EQ(runHeadless(nullptr, &err), 0) << err.toStdString();
  const QStringList orphans =
      QDir(dir.path()).entryList({QStringLiteral("data.xls.kestrune-journal.orphan-*")}, QDir::Files);
  ASSERT_EQ(orphans.size(), 1) << err.toStdString();
  const QString orphan = dir.filePath(orphans[0]);
  EXPECT_TRUE(err.contains(orphan.toUtf8())) << err.toStdString();
  auto sheet = cells();
  EXPECT_EQ(sheet.begin()->first, 9) << "the old run's rows reached the new workbook";
  EXPECT_EQ(sheet[9][1], std::make_pair(std::string("number"), std::string("50")));

  QByteArray out;
  ASSERT_EQ(runKestrune({QStringLiteral("--recover"), orphan, QStringLiteral("--workbook"), book}, &out, &err), 0)
      << err.toStdString();
  EXPECT_TRUE(out.contains("に書き込み、保存しました")) << out.toStdString();
  EXPECT_FALSE(QFileInfo::exists(orphan));
  sheet = cells();
  EXPECT_EQ(sheet[1][1], std::make_pair(std::string("number"), std::string("1")));
  EXPECT_EQ(sheet[9][1], std::make_pair(std::string("number"), std::string("50")));
  // Nothing to recover: the same exit status as a run that cannot start.
  EXPECT_EQ(runKestrune({QStringLiteral("--recover"), orphan, QStringLiteral("--workbook"), book}), 2);
}

// A streaming run killed at random moments, again and again: each next run
// first brings back the rows the killed one had written, then carries on
// below them. At the end every reading the log showed is in the workbook once
// (save the one a kill may have caught before its row was complete), in order,
// numbered without a gap.
TEST_F(HeadlessE2eTest, RowsSurviveRepeatedKills) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  ASSERT_TRUE(restartStreaming("{n},OK", 15));
  writeFile(QStringLiteral("data.txt"), "SSS\r\nRCV\r\nSET\r\nEEE\r\n");
  writeSetup(1, 100000);
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> delay(0, 700);
  std::vector<std::vector<int>> logged;  // the readings each killed run's log showed
  std::vector<int> settledUpTo;          // the last reading in the journal after each kill
  QByteArray allErr;                     // what the killed runs said
  int recoveredRows = 0;
  constexpr int Trials = 20;
  for (int trial = 0; trial < Trials; ++trial) {
    QProcess run;
    ASSERT_TRUE(startHeadless(run));
    // Some kills land while the previous rows are being recovered, most while streaming.
    const QDeadlineTimer until(delay(random));
    QByteArray out, err;
    while (!until.hasExpired() && run.state() == QProcess::Running) run.waitForReadyRead(5);
    ::kill(static_cast<pid_t>(run.processId()), SIGKILL);
    ASSERT_TRUE(run.waitForFinished(10000));
    out += run.readAllStandardOutput();
    err += run.readAllStandardError();
    allErr += err;
    // The readings of the rows the journal had settled when the kill came.
    int settled = 0;
    QFile journal(book + QStringLiteral(".kestrune-journal"));
    if (journal.open(QIODevice::ReadOnly))
      for (const QByteArray& line : journal.readAll().split('\n'))
        if (const QList<QByteArray> f = line.split('\t'); f.size() == 6 && f[0] == "cell" && f[2].toInt() >= 3)
          settled = std::max(settled, f[4].toInt());  // "OK" reads as 0
    settledUpTo.push_back(settled);
    const QRegularExpression reading(QStringLiteral("○ (\\d+),OK"));
    logged.emplace_back();
    for (auto m = reading.globalMatch(QString::fromUtf8(out)); m.hasNext();)
      logged.back().push_back(m.next().captured(1).toInt());
    const QRegularExpressionMatch back =
        QRegularExpression(QStringLiteral("取得データ (\\d+) 行を復元しました")).match(QString::fromUtf8(err));
    if (back.hasMatch()) recoveredRows += back.captured(1).toInt();
  }
  // A last run that ends normally recovers what the last kill left.
  // Two rows more, from where the runs left the cursor (setup.dat, or the
  // journal where it holds a later one).
  changeSetup([](settings::Conditions& c) { c.rows = 2; });
  QByteArray err;
  ASSERT_EQ(runHeadless(nullptr, &err), 0) << err.toStdString();
  EXPECT_GT(recoveredRows, 0) << "no kill ever left rows to recover";
  // The journals were all this workbook's own: none was set aside.
  EXPECT_EQ(QDir(dir.path()).entryList({QStringLiteral("*.orphan-*")}, QDir::Files), QStringList())
      << allErr.toStdString();

  const auto sheet = cells();
  std::vector<int> readings;
  int expectedNumber = 1;
  for (const auto& [row, columns] : sheet) {
    if (row < 1) continue;
    EXPECT_EQ(columns.at(1), std::make_pair(std::string("number"), std::to_string(expectedNumber))) << "row " << row;
    ++expectedNumber;
    // Lines that arrived between two ticks share a row: n, OK, n+1, OK ...
    for (const auto& [column, cell] : columns)
      if (column >= 3 && cell.first == "number") readings.push_back(std::stoi(cell.second));
  }
  EXPECT_TRUE(std::is_sorted(readings.begin(), readings.end())) << [&] {
    std::string t;
    for (const auto& [row, columns] : sheet) {
      t += std::to_string(row) + ":";
      for (const auto& [c, v] : columns) t += " " + v.second;
      t += "\n";
    }
    return t;
  }();
  EXPECT_EQ(std::set<int>(readings.begin(), readings.end()).size(), readings.size()) << "a reading written twice";
  // Only the row a kill caught unfinished may be missing: the lines logged
  // after the journal's last settled row, never one before a reading that
  // was kept, never one the journal held.
  for (std::size_t r = 0; r < logged.size(); ++r) {
    const std::vector<int>& run = logged[r];
    std::size_t kept = run.size();
    while (kept > 0 && !std::binary_search(readings.begin(), readings.end(), run[kept - 1])) --kept;
    for (std::size_t i = 0; i < kept; ++i)
      EXPECT_TRUE(std::binary_search(readings.begin(), readings.end(), run[i])) << "reading " << run[i] << " was lost";
    for (std::size_t i = kept; i < run.size(); ++i)
      EXPECT_GT(run[i], settledUpTo[r]) << "reading " << run[i] << " was in a settled row and was lost";
  }
  EXPECT_EQ(readSetup().conditions().cursor.acquisitionNo, expectedNumber);
  EXPECT_FALSE(QFileInfo::exists(book + QStringLiteral(".kestrune-journal")));
}

// Runs with the run record on, killed at random moments: each next open adds
// to the record the rows its journal held and the record missed, and ends
// the killed run. At the end the record holds each row of the workbook once,
// in order, every run is ended, and verify finds the workbook as recorded.
TEST_F(HeadlessE2eTest, RecordHoldsEachRowOnceThroughKills) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  ASSERT_TRUE(restartStreaming("{n},OK", 15));
  writeFile(QStringLiteral("data.txt"), "SSS\r\nRCV\r\nSET\r\nEEE\r\n");
  writeFile(QStringLiteral("kestrune.conf"), "record=on\n");
  writeSetup(1, 100000);
  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> delay(0, 900);
  constexpr int Kills = 5;
  for (int trial = 0; trial < Kills; ++trial) {
    QProcess run;
    ASSERT_TRUE(startHeadless(run));
    const QDeadlineTimer until(delay(random));
    while (!until.hasExpired() && run.state() == QProcess::Running) run.waitForReadyRead(5);
    ::kill(static_cast<pid_t>(run.processId()), SIGKILL);
    ASSERT_TRUE(run.waitForFinished(10000));
  }
  changeSetup([](settings::Conditions& c) { c.rows = 2; });
  QByteArray err;
  ASSERT_EQ(runHeadless(nullptr, &err), 0) << err.toStdString();

  QFile record(book + QStringLiteral(".kestrune-record"));
  ASSERT_TRUE(record.open(QIODevice::ReadOnly));
  std::map<QString, qint64> rowsOf;  // by run id
  std::set<QString> ended;
  std::vector<int> places;  // sheet rows in the record's order
  int recoveries = 0;       // runs ended by the next open
  for (const QByteArray& line : record.readAll().split('\n')) {
    const QList<QByteArray> f = line.split('\t');
    if (f.size() != 3) continue;
    const QJsonObject o = QJsonDocument::fromJson(f[1]).object();
    const QString run = o.value(QStringLiteral("run")).toString();
    if (f[0] == "row") {
      EXPECT_EQ(o.value(QStringLiteral("seq")).toInteger(), ++rowsOf[run]) << line.toStdString();
      places.push_back(o.value(QStringLiteral("row")).toInt());
    } else if (f[0] == "end" || o.value(QStringLiteral("ends-run")).toBool()) {
      ended.insert(run);
      recoveries += f[0] == "note";
    } else if (f[0] == "run") {
      rowsOf[run] = 0;
    }
  }
  // A kill may come before its run began: the last run and at least one killed one.
  EXPECT_GE(rowsOf.size(), 2u);
  EXPECT_EQ(rowsOf.size(), ended.size()) << "a run was left without end";
  EXPECT_GT(recoveries, 0) << "no kill left a run for the next open to end";
  EXPECT_TRUE(std::is_sorted(places.begin(), places.end()));
  EXPECT_EQ(std::set<int>(places.begin(), places.end()).size(), places.size()) << "a row recorded twice";
  std::vector<int> rows;
  for (const auto& [row, columns] : cells()) rows.push_back(row + 1);
  EXPECT_EQ(places, rows) << "the record and the workbook hold other rows";
  QByteArray out;
  EXPECT_EQ(runKestrune({QStringLiteral("verify"), book}, &out, &err), 0) << out.toStdString() << err.toStdString();
}

// The record's disk failing: the user is told, and the run and its workbook
// go on as without the record.
TEST_F(HeadlessE2eTest, AFailingRecordIsToldAndCostsTheWorkbookNothing) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  writeFile(QStringLiteral("data.txt"), "SSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nEEE\r\n");
  writeFile(QStringLiteral("kestrune.conf"), "record=on\n");
  writeSetup(1, 5);
  QProcessEnvironment failing = QProcessEnvironment::systemEnvironment();
  failing.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(SYNC_FAULT_SHIM));
  failing.insert(QStringLiteral("SYNC_FAULT_PATH"), QStringLiteral(".kestrune-record"));
  const auto [status, err] = runToEnd(failing);
  EXPECT_EQ(status, 0) << err.toStdString();
  EXPECT_TRUE(err.contains("実行記録 " + QFile::encodeName(book) + ".kestrune-record に書き込めませんでした"))
      << err.toStdString();
  const auto sheet = cells();
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(sheet.at(1 + i).at(1), std::make_pair(std::string("number"), std::to_string(1 + i))) << i;
}

// --serve shows the run to a browser while it goes: the page, its status
// and rows, the workbook as saved. An address beyond loopback without a
// certificate is refused before the run starts, and nothing is written.
TEST_F(HeadlessE2eTest, ServeShowsTheRunAndRefusesAnOpenAddressWithoutTls) {
  writeFile(QStringLiteral("data.txt"), "SSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nEEE\r\n");
  writeSetup(1, 10);
  const QByteArray before = [&] {
    QFile f(book);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }();
  QByteArray err;
  EXPECT_EQ(
      runKestrune({QStringLiteral("--headless"), QStringLiteral("--dir"), dir.path(), QStringLiteral("--workbook"),
                   book, QStringLiteral("--serve"), QStringLiteral("0.0.0.0:18443")},
                  nullptr, &err),
      2);
  EXPECT_TRUE(err.contains("0.0.0.0:18443")) << err.toStdString();
  QFile after(book);
  ASSERT_TRUE(after.open(QIODevice::ReadOnly));
  EXPECT_EQ(after.readAll(), before) << "a refused run wrote into the workbook";

  const quint16 port = [] {
    // A port nobody uses now: the one the system gives a socket bound to port 0.
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const bool bound = ::bind(probe, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                       ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    ::close(probe);
    return bound ? ntohs(address.sin_port) : quint16{0};
  }();
  ASSERT_NE(port, 0);
  QProcess run;
  QByteArray out;
  ASSERT_TRUE(startLongRun(run, out, {QStringLiteral("--serve"), QStringLiteral("127.0.0.1:%1").arg(port)}))
      << out.toStdString();
  const web::test::Reply page = web::test::get(port, "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_TRUE(page.headers.value("content-type").startsWith("text/html"));
  const web::test::Reply status = web::test::get(port, "/api/status");
  EXPECT_EQ(QJsonDocument::fromJson(status.body).object().value(QStringLiteral("state")), QStringLiteral("running"))
      << status.body.toStdString();
  QJsonArray rows;
  for (const QDeadlineTimer limit(15000); rows.size() < 2 && !limit.hasExpired(); QThread::msleep(50))
    rows = QJsonDocument::fromJson(web::test::get(port, "/api/rows").body)
               .object()
               .value(QStringLiteral("rows"))
               .toArray();
  ASSERT_GE(rows.size(), 2);
  EXPECT_EQ(rows[0].toObject().value(QStringLiteral("values")).toArray().at(1), QStringLiteral("測定OK"));
  const web::test::Reply workbook = web::test::get(port, "/download/workbook.xls");
  EXPECT_EQ(workbook.status, 200);
  EXPECT_TRUE(workbook.body.startsWith(QByteArray::fromHex("d0cf11e0a1b11ae1"))) << "not a whole .xls file";
  EXPECT_EQ(web::test::get(port, "/../setup.dat").status, 404);
  ::kill(static_cast<pid_t>(run.processId()), SIGTERM);
  ASSERT_TRUE(run.waitForFinished(20000));
  EXPECT_EQ(run.exitCode(), 143);
  EXPECT_EQ(web::test::get(port, "/api/status").status, 0) << "the server outlived the run";
}

// The sheet's last row ends the run plainly, with every row up to it written;
// the next run is told instead of writing past it.
TEST_F(HeadlessE2eTest, TheSheetsLastRowEndsTheRun) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  writeFile(QStringLiteral("data.txt"), "SSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nEEE\r\n");
  writeSetup(1, 10, 65535);
  QByteArray err;
  EXPECT_EQ(runHeadless(nullptr, &err), 4) << err.toStdString();
  EXPECT_TRUE(err.contains("ワークシートの最終行")) << err.toStdString();
  auto sheet = cells();
  EXPECT_EQ(sheet[65534][1], std::make_pair(std::string("number"), std::string("1")));
  EXPECT_EQ(sheet[65535][1], std::make_pair(std::string("number"), std::string("2")));
  const RunCursor after = readSetup().conditions().cursor;
  EXPECT_EQ(after.row, 65537);
  EXPECT_EQ(after.acquisitionNo, 3);
  EXPECT_EQ(runHeadless(nullptr, &err), 2);
  EXPECT_TRUE(err.contains("最終行（65536 行目）を超えています")) << err.toStdString();
}

// With full-sheet=continue a run that fills its sheet goes on in a new one.
// Killed right after the switch and then recovered by the next run, the
// workbook holds every row once across the two sheets, numbered without a
// gap, and LibreOffice reads both sheets.
TEST_F(HeadlessE2eTest, AFullSheetGoesOnInANewSheetThroughAKill) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  writeFile(QStringLiteral("kestrune.conf"), "full-sheet=continue\n");
  writeFile(QStringLiteral("data.txt"), "ITM:0.1\r\nSSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nEEE\r\n");
  writeSetup(1, 1000, 65530);
  QProcess run;
  ASSERT_TRUE(startHeadless(run));
  // The journal names the new sheet from the end of the row that filled the old one.
  QFile journal(book + QStringLiteral(".kestrune-journal"));
  bool switched = false;
  for (int i = 0; i < 3000 && !switched && run.state() == QProcess::Running; ++i) {
    run.waitForReadyRead(5);
    switched = journal.open(QIODevice::ReadOnly) && journal.readAll().contains("\tSheet1 (2)\t");
    journal.close();
  }
  ::kill(static_cast<pid_t>(run.processId()), SIGKILL);
  ASSERT_TRUE(run.waitForFinished(10000));
  ASSERT_TRUE(switched) << run.readAllStandardError().toStdString();
  // The next run recovers the rows and writes three more below them.
  changeSetup([](settings::Conditions& c) { c.rows = 3; });
  QByteArray err;
  ASSERT_EQ(runHeadless(nullptr, &err), 0) << err.toStdString();
  EXPECT_TRUE(err.contains("行を復元しました")) << err.toStdString();

  // The numbers in column B of every sheet, by sheet and row.
  const auto dump = xls::testing::runPython(xls::testing::XlrdDumpScript, book.toStdString());
  std::istringstream lines(dump.output);
  QStringList names;
  std::vector<std::tuple<int, int, int>> numbers;  // sheet, row, number
  for (std::string line; std::getline(lines, line);) {
    const QStringList f = QString::fromStdString(line).split(QLatin1Char('\t'));
    if (f[0] == QStringLiteral("sheet-info")) names << f[2];
    if (f.size() == 6 && f[2] == QStringLiteral("1") && f[3] == QStringLiteral("number"))
      numbers.emplace_back(f[0].toInt(), f[1].toInt(), f[4].toInt());
  }
  EXPECT_EQ(names, (QStringList{"Sheet1", "Sheet1 (2)"}));
  std::sort(numbers.begin(), numbers.end());
  ASSERT_GE(numbers.size(), 10u);
  for (int i = 0; i < std::ssize(numbers); ++i)  // rows 65530 to 65536, then from row 1
    EXPECT_EQ(numbers[static_cast<std::size_t>(i)], std::make_tuple(i < 7 ? 0 : 1, i < 7 ? 65529 + i : i - 7, i + 1));
  EXPECT_EQ(readSetup().conditions().cursor.row, std::ssize(numbers) - 6);
  EXPECT_FALSE(journal.exists());

  if (QStandardPaths::findExecutable(QStringLiteral("soffice")).isEmpty()) GTEST_SKIP() << "LibreOffice is missing";
  const QString converted = dir.filePath(QStringLiteral("lo"));
  ASSERT_EQ(
      QProcess::execute(QStringLiteral("soffice"),
                        {QStringLiteral("-env:UserInstallation=file://") + dir.filePath(QStringLiteral("profile")),
                         QStringLiteral("--headless"), QStringLiteral("--norestore"), QStringLiteral("--convert-to"),
                         QStringLiteral("xls:MS Excel 97"), QStringLiteral("--outdir"), converted, book}),
      0);
  const auto again = xls::Workbook::open((converted + QStringLiteral("/data.xls")).toStdString());
  ASSERT_TRUE(again) << again.description();
  ASSERT_EQ(again->sheetCount(), 2u);
  EXPECT_EQ(again->sheetName(1), "Sheet1 (2)");
  EXPECT_EQ(again->cell(1, 0, 1)->value, xls::Value(8.0));
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

// The workbook's disk fills up during a run: the journal moves to the user's
// folder, the save at the end fails with status 3 and says where the rows
// are, the file stays as it was; once there is room, the next run brings
// every row back.
TEST_F(HeadlessE2eTest, AFullDiskKeepsEveryRowForTheNextRun) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  const QString disk = dir.filePath(QStringLiteral("disk"));
  ASSERT_TRUE(QDir().mkpath(disk));
  const QByteArray mountPoint = QFile::encodeName(disk);
  if (::mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=512k") != 0)
    GTEST_SKIP() << "tmpfs cannot be mounted here";
  struct Unmount {
    QByteArray at;
    ~Unmount() { ::umount2(at.constData(), MNT_DETACH); }
  } unmount{mountPoint};
  book = disk + QStringLiteral("/data.xls");
  ASSERT_EQ(runKestrune({QStringLiteral("--new-workbook"), book}), 0);
  QFile script(disk + QStringLiteral("/data.txt"));
  ASSERT_TRUE(script.open(QIODevice::WriteOnly));
  script.write("ITM:0.1\r\nSSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nEEE\r\n");
  script.close();
  const QByteArray before = [&] {
    QFile f(book);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }();
  writeSetup(1, 1000);
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  const QString state = dir.filePath(QStringLiteral("state"));
  environment.insert(QStringLiteral("XDG_STATE_HOME"), state);
  const QStringList arguments{QStringLiteral("--headless"), QStringLiteral("--dir"), dir.path(),
                              QStringLiteral("--workbook"), book};

  QProcess run;
  run.setProcessEnvironment(environment);
  run.start(QStringLiteral(KESTRUNE_PATH), arguments);
  ASSERT_TRUE(run.waitForStarted());
  QByteArray out;
  const auto answers = [&](int count) {
    for (int i = 0; i < 300 && out.count("○ ") < count; ++i) {
      run.waitForReadyRead(100);
      out += run.readAllStandardOutput();
    }
    return out.count("○ ") >= count;
  };
  ASSERT_TRUE(answers(3)) << out.toStdString();
  {
    QFile filler(disk + QStringLiteral("/filler"));
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
    const QByteArray block(4096, 'x');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
  }
  ASSERT_TRUE(answers(7)) << out.toStdString();
  ::kill(static_cast<pid_t>(run.processId()), SIGTERM);
  ASSERT_TRUE(run.waitForFinished(20000));
  out += run.readAllStandardOutput();
  const QByteArray err = run.readAllStandardError();
  EXPECT_EQ(run.exitCode(), 3) << err.toStdString();
  EXPECT_TRUE(err.contains("ブックを保存できませんでした")) << err.toStdString();
  // Where the rows are: beside the workbook while its last page had room,
  // else in the user's folder.
  const QRegularExpressionMatch kept =
      QRegularExpression(QStringLiteral("取得データは (.+\\.kestrune-journal) に残してあります"))
          .match(QString::fromUtf8(err));
  ASSERT_TRUE(kept.hasMatch()) << err.toStdString();
  EXPECT_TRUE(QFileInfo::exists(kept.captured(1))) << kept.captured(1).toStdString();
  {
    QFile f(book);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), before) << "the workbook stays as it was";
  }
  const int logged = static_cast<int>(out.count("○ "));

  ASSERT_TRUE(QFile::remove(disk + QStringLiteral("/filler")));
  writeSetup(1, 1);  // the journal's position and number overrule these
  QProcess next;
  next.setProcessEnvironment(environment);
  next.start(QStringLiteral(KESTRUNE_PATH), arguments);
  ASSERT_TRUE(next.waitForFinished(60000));
  const QByteArray nextErr = next.readAllStandardError();
  EXPECT_EQ(next.exitCode(), 0) << nextErr.toStdString();
  const QRegularExpressionMatch back =
      QRegularExpression(QStringLiteral("取得データ (\\d+) 行を復元しました")).match(QString::fromUtf8(nextErr));
  ASSERT_TRUE(back.hasMatch()) << nextErr.toStdString();
  const int recovered = back.captured(1).toInt();
  EXPECT_GE(recovered, logged - 1) << "every logged row but one the signal may have cut";
  const auto sheet = cells();
  for (int i = 0; i <= recovered; ++i)
    EXPECT_EQ(sheet.at(1 + i).at(1), std::make_pair(std::string("number"), std::to_string(1 + i))) << i;
  EXPECT_FALSE(QFileInfo::exists(kept.captured(1))) << "retired once saved";
}

// A stop while EEE waits for the interval: the row SET wrote counts, and the
// cursor and the number saved in setup.dat are past every filled row.
TEST_F(HeadlessE2eTest, AStopDuringTheIntervalKeepsTheRowItWrote) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  for (const int signal : {SIGTERM, SIGINT}) {
    // The second command is sent after SET: once it is in the log, the row has values.
    writeFile(QStringLiteral("data.txt"),
              "ITM:5\r\nSSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nSND:MARK%CR\r\nEEE\r\n");
    ASSERT_EQ(runKestrune({QStringLiteral("--new-workbook"), book, QStringLiteral("--overwrite")}), 0);
    writeSetup(1, 1000);
    QProcess p;
    QByteArray out;
    ASSERT_TRUE(startHeadless(p));
    for (int i = 0; i < 300 && !out.contains("● MARK"); ++i) {
      p.waitForReadyRead(100);
      out += p.readAllStandardOutput();
    }
    ASSERT_TRUE(out.contains("● MARK")) << out.toStdString();
    ::kill(static_cast<pid_t>(p.processId()), signal);
    ASSERT_TRUE(p.waitForFinished(20000));
    const int rows = numberedRows();
    EXPECT_GE(rows, 1) << signal;
    const RunCursor setup = readSetup().conditions().cursor;
    EXPECT_EQ(setup.row, 2 + rows) << signal;
    EXPECT_EQ(setup.acquisitionNo, 1 + rows) << signal;
  }
}

// Syncs of the journal beside the workbook fail (EIO): it moves, whole, to
// the user's folder, the log says so, and a kill then loses no row.
TEST_F(HeadlessE2eTest, AJournalWhoseSyncsFailMovesAndAKillLosesNothing) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  writeFile(QStringLiteral("data.txt"), "ITM:0.1\r\nSSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nEEE\r\n");
  writeSetup(1, 1000);
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("XDG_STATE_HOME"), dir.filePath(QStringLiteral("state")));
  QProcess run;
  QProcessEnvironment failing = environment;
  failing.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(SYNC_FAULT_SHIM));
  failing.insert(QStringLiteral("SYNC_FAULT_PATH"), book + QStringLiteral(".kestrune-journal"));
  failing.insert(QStringLiteral("SYNC_FAULT_AFTER"), QStringLiteral("3"));  // the journal is made, then fails
  run.setProcessEnvironment(failing);
  ASSERT_TRUE(startHeadless(run));
  QByteArray out;
  ASSERT_TRUE(waitForAnswers(run, out, 6)) << out.toStdString();
  EXPECT_TRUE(out.contains("取得データの記録を " + QFile::encodeName(dir.filePath(QStringLiteral("state")))))
      << out.toStdString();
  ::kill(static_cast<pid_t>(run.processId()), SIGKILL);
  ASSERT_TRUE(run.waitForFinished(20000));
  out += run.readAllStandardOutput();
  EXPECT_FALSE(QFileInfo::exists(book + QStringLiteral(".kestrune-journal")));

  writeSetup(1, 1);
  const auto [status, err] = runToEnd(environment);
  EXPECT_EQ(status, 0) << err.toStdString();
  const QRegularExpressionMatch back =
      QRegularExpression(QStringLiteral("取得データ (\\d+) 行を復元しました")).match(QString::fromUtf8(err));
  ASSERT_TRUE(back.hasMatch()) << err.toStdString();
  EXPECT_GE(back.captured(1).toInt(), static_cast<int>(out.count("○ ")) - 1);
  const auto sheet = cells();
  for (int i = 0; i <= back.captured(1).toInt(); ++i)
    EXPECT_EQ(sheet.at(1 + i).at(1), std::make_pair(std::string("number"), std::to_string(1 + i))) << i;
}

// The workbook's file system fails mid-run (an ext4 shut down as after an I/O
// error: every write, truncation and sync fails), then the user's folder fills
// up too: the journal moves, then the run stops and says truly which rows are
// where; the next run, once both are usable again, brings back every row the
// message promised.
TEST_F(HeadlessE2eTest, AFailedDiskThenAFullOneStopTheRunAndLoseNoPromisedRow) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  if (::geteuid() != 0) GTEST_SKIP() << "mounting file systems needs root";
  const QString disk = dir.filePath(QStringLiteral("disk"));
  const QString image = dir.filePath(QStringLiteral("disk.img"));
  const QString state = dir.filePath(QStringLiteral("state"));
  if (!mountExt4(disk, image) || !mountSmall(state, "size=256k")) GTEST_SKIP() << "cannot mount here";
  book = disk + QStringLiteral("/data.xls");
  ASSERT_EQ(runKestrune({QStringLiteral("--new-workbook"), book}), 0);
  QFile script(disk + QStringLiteral("/data.txt"));
  ASSERT_TRUE(script.open(QIODevice::WriteOnly));
  script.write("ITM:0.1\r\nSSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nEEE\r\n");
  script.close();
  ::sync();
  writeSetup(1, 100000);
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("XDG_STATE_HOME"), state);
  QProcess run;
  run.setProcessEnvironment(environment);
  ASSERT_TRUE(startHeadless(run));
  QByteArray out;
  ASSERT_TRUE(waitForAnswers(run, out, 3)) << out.toStdString();
  {
    constexpr unsigned long Ext4Shutdown = 0x8004587d;  // EXT4_IOC_SHUTDOWN
    std::uint32_t noLogFlush = 2;
    const int folder = ::open(QFile::encodeName(disk).constData(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(::ioctl(folder, Ext4Shutdown, &noLogFlush), 0);
    ::close(folder);
  }
  ASSERT_TRUE(waitForAnswers(run, out, static_cast<int>(out.count("○ ")) + 3)) << out.toStdString();
  EXPECT_TRUE(out.contains("取得データの記録を " + QFile::encodeName(state))) << out.toStdString();
  fill(state);
  // The run stops by itself: no journal can take another row.
  ASSERT_TRUE(run.waitForFinished(60000));
  out += run.readAllStandardOutput();
  const QString err = QString::fromUtf8(run.readAllStandardError());
  EXPECT_EQ(run.exitCode(), 3) << err.toStdString();
  EXPECT_TRUE(err.contains(QStringLiteral("取得データの記録をどこにも書き込めなくなったため"))) << err.toStdString();
  const QRegularExpressionMatch holds =
      QRegularExpression(QStringLiteral("記録 (.+) にはシートの (\\d+) 行目までの行があります")).match(err);
  ASSERT_TRUE(holds.hasMatch()) << err.toStdString();
  EXPECT_FALSE(err.contains(QStringLiteral("に残してあります"))) << "no promise beyond what the journal holds";

  // The disk comes back as it was at its last sync; the user's folder has room.
  ASSERT_EQ(::umount2(QFile::encodeName(disk).constData(), 0), 0);
  ASSERT_EQ(QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("loop"), image, disk}), 0);
  ASSERT_TRUE(QFile::remove(state + QStringLiteral("/filler")));
  writeSetup(1, 1);
  const auto [status, nextErr] = runToEnd(environment);
  EXPECT_EQ(status, 0) << nextErr.toStdString();
  const auto sheet = cells();
  const int through = holds.captured(2).toInt();
  EXPECT_GE(through, 4);
  for (int row = 2; row <= through; ++row)
    EXPECT_EQ(sheet.at(row - 1).at(1), std::make_pair(std::string("number"), std::to_string(row - 1))) << row;
}

// Values the workbook cannot take (past its last column IV) stay in the
// journal, and the run says so and exits with 3 instead of 0.
TEST_F(HeadlessE2eTest, RowsTheWorkbookCouldNotTakeKeepTheirJournal) {
  writeFile(QStringLiteral("data.txt"), "SSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nEEE\r\n");
  writeSetup(1, 2, 2, "IV");
  QByteArray err;
  EXPECT_EQ(runHeadless(nullptr, &err), 3) << err.toStdString();
  EXPECT_TRUE(err.contains("取得データの一部をブックに書き込めませんでした")) << err.toStdString();
  const QString journal = book + QStringLiteral(".kestrune-journal");
  ASSERT_TRUE(QFileInfo::exists(journal));
  QFile f(journal);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll().count("\nrow\t"), 2);
}

// A crash at each file step of a normal end and of a recovery (strace kills
// the runner at the Nth unlink, rename or fsync): whatever step it hits, the
// runs after it write every row below the ones before, and lose none.
TEST_F(HeadlessE2eTest, AKillAtAnyFileStepOfAnEndOrARecoveryOverwritesNoRow) {
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
  if (strace.isEmpty()) GTEST_SKIP() << "strace is missing";
  writeFile(QStringLiteral("data.txt"), "ITM:0.05\r\nSSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nEEE\r\n");
  const QStringList headless{QStringLiteral("--headless"), QStringLiteral("--dir"), dir.path(),
                             QStringLiteral("--workbook"), book};
  // Runs the runner, killed at the `when`th call of `call` (none: 0); the
  // answers it logged, and whether it was killed.
  const auto runKilledAt = [&](const char* call, int when) {
    QProcess p;
    if (when > 0)
      p.start(strace,
              QStringList{QStringLiteral("-f"), QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("-e"),
                          QStringLiteral("inject=%1:signal=KILL:when=%2").arg(QLatin1String(call)).arg(when),
                          QStringLiteral(KESTRUNE_PATH)} +
                  headless);
    else
      p.start(QStringLiteral(KESTRUNE_PATH), headless);
    p.waitForFinished(60000);
    const QByteArray err = p.readAllStandardError();
    const bool killed = err.contains("Killed") || p.exitCode() == 137 || p.exitStatus() != QProcess::NormalExit;
    return std::pair{static_cast<int>(p.readAllStandardOutput().count("○ ")), killed};
  };
  // Every numbered row, top down: numbers without a gap, the instrument's
  // counter rising (a row written over would break either); how many.
  const auto checkedRows = [&](const std::string& where) {
    int rows = 0;
    double lastValue = -1;
    for (const auto& [row, columns] : cells()) {
      if (!columns.contains(1) || columns.at(1).first != "number") continue;
      EXPECT_EQ(row, rows + 1) << where;
      EXPECT_EQ(std::stoi(columns.at(1).second), rows + 1) << where;
      ++rows;
      // A run killed inside SET may leave its last row with the number alone.
      if (!columns.contains(3)) continue;
      const double value = std::stod(columns.at(3).second);
      EXPECT_GT(value, lastValue) << where << " row " << row;
      lastValue = value;
    }
    return rows;
  };
  for (const bool recovery : {false, true}) {
    for (const char* call : {"unlink", "rename", "fsync"}) {
      for (int when = 1; when <= 12; ++when) {
        const std::string where = std::string(recovery ? "recovery, " : "end, ") + call + " #" + std::to_string(when);
        ASSERT_EQ(runKestrune({QStringLiteral("--new-workbook"), book, QStringLiteral("--overwrite")}), 0);
        QFile::remove(book + QStringLiteral(".kestrune-journal"));
        int before = 0;
        if (recovery) {
          // A run killed mid-way leaves a journal for the run under test to recover.
          writeSetup(1, 1000);
          QProcess crashed;
          QByteArray out;
          ASSERT_TRUE(startHeadless(crashed));
          ASSERT_TRUE(waitForAnswers(crashed, out, 3)) << out.toStdString();
          crashed.kill();
          crashed.waitForFinished();
          before = static_cast<int>(out.count("○ ")) - 1;  // the last may not have been set
          writeSetup(1, 2);                                // the journal's cursor and number overrule these
        } else {
          writeSetup(1, 3);
        }
        const auto [logged, killed] = runKilledAt(call, when);
        // Two more rows; the cursor and the number stay as the runs left them.
        ASSERT_EQ(
            runKestrune({QStringLiteral("config"), QStringLiteral("--dir"), dir.path(), QStringLiteral("rows=2")}), 0);
        const auto [after, again] = runKilledAt(call, 0);
        ASSERT_FALSE(again) << where;
        const int rows = checkedRows(where);
        EXPECT_GE(rows, before + logged + after) << where;
        if (!killed) break;  // past the last such call
      }
    }
  }
}

}  // namespace
}  // namespace kestrune
