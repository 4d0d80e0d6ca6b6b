// A headless run with LibreOffice Calc, killed outright (SIGKILL) in the
// middle of its acquisitions: its LibreOffice must end with it and let go of
// the workbook, and the next run on the same workbook must open it and finish.
#include "fakes/raw_setup.h"
#include "settings/setup_record.h"

#include "sheet/xls/xls_test_support.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

namespace kestrune {
namespace {

// Running processes whose command line mentions `needle`, as "pid: command
// line" (a zombie has no command line).
QStringList processesMentioning(const QByteArray& needle) {
  QStringList found;
  for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    if (pid.toLongLong() <= 1) continue;
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) continue;
    QByteArray cmdline = file.readAll();
    if (cmdline.contains(needle))
      found << pid + QStringLiteral(": ") + QString::fromLocal8Bit(cmdline.replace('\0', ' '));
  }
  return found;
}

class CalcKillE2eTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!KESTRUNE_HAVE_CALC) GTEST_SKIP() << "this build has no LibreOffice backend";
    if (QStandardPaths::findExecutable(QStringLiteral("soffice")).isEmpty())
      GTEST_SKIP() << "LibreOffice is not installed";
    ASSERT_TRUE(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("ttyINSTR"));
    instrument.setProgram(QStringLiteral(KESTRUNE_INSTRUMENT_PATH));
    instrument.setArguments({QStringLiteral("--link"), link, QStringLiteral("--reply"), QStringLiteral("{n},OK")});
    instrument.start();
    ASSERT_TRUE(instrument.waitForStarted(5000));
    for (int i = 0; i < 100 && !QFileInfo::exists(link); ++i) QThread::msleep(20);  // the device appears
    ASSERT_TRUE(QFileInfo::exists(link));
    writeFile(QStringLiteral("ports.conf"), QStringLiteral("COM1=%1\n").arg(link).toUtf8());
    writeFile(QStringLiteral("data.txt"), "ITM:0.2\r\nSSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nEEE\r\n");
    book = dir.filePath(QStringLiteral("data.xls"));
    lock = dir.filePath(QStringLiteral(".~lock.data.xls#"));
    QProcess create;
    create.start(QStringLiteral(KESTRUNE_PATH), {QStringLiteral("--new-workbook"), book});
    ASSERT_TRUE(create.waitForFinished(30000));
    ASSERT_EQ(create.exitCode(), 0);
  }
  void TearDown() override {
    // Whatever of a killed run is left must not outlive the test.
    if (!mark.isEmpty())
      for (const QString& process : processesMentioning(mark)) {
        const pid_t pid = static_cast<pid_t>(process.section(QLatin1Char(':'), 0, 0).toLongLong());
        if (pid > 1) ::kill(pid, SIGKILL);
      }
    if (instrument.state() != QProcess::NotRunning) {
      instrument.terminate();
      if (!instrument.waitForFinished(5000)) instrument.kill();
    }
  }
  void writeFile(const QString& name, const QByteArray& bytes) {
    QFile f(dir.filePath(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  }
  void writeSetup(std::int32_t acquisitionNo, std::int32_t measureCount) {
    testing::RawSetup r;
    r.stampMode = 3;
    r.scriptFromFile = testing::True16;
    r.numberingOn = testing::True16;
    r.acquisitionNo = acquisitionNo;
    r.startAtCell = testing::True16;
    r.startCol = "B";
    r.startRow = 2;
    r.acquireTimeMs = 60000;
    r.measureCount = measureCount;
    r.commSettings[0] = "9600,n,8,1";
    r.commPort[0] = 1;
    writeFile(QStringLiteral("setup.dat"), r.bytes());
  }
  QStringList headlessArguments() const {
    return {QStringLiteral("--headless"),    QStringLiteral("--dir"), dir.path(), QStringLiteral("--workbook"), book,
            QStringLiteral("--spreadsheet"), QStringLiteral("calc")};
  }
  // What the run left in the temporary folder: LibreOffice profiles named after its process.
  QStringList leftInTemp() const {
    return QDir(QDir::tempPath())
        .entryList({QString::fromLatin1(mark) + QLatin1Char('*')}, QDir::AllEntries | QDir::NoDotAndDotDot);
  }

  QTemporaryDir dir;
  QString book;
  QString lock;
  QByteArray mark;  // in the command line of every process the killed run started
  QProcess instrument;
};

TEST_F(CalcKillE2eTest, AKilledRunTakesLibreOfficeWithItAndTheNextRunOpensTheWorkbook) {
  writeSetup(1, 100000);
  QProcess run;
  run.start(QStringLiteral(KESTRUNE_PATH), headlessArguments());
  ASSERT_TRUE(run.waitForStarted(5000));
  // Two answers logged: LibreOffice is up, holds the workbook and is being written.
  QByteArray out;
  const QDeadlineTimer started(120000);
  while (out.count("○ ") < 2 && run.state() == QProcess::Running && !started.hasExpired()) {
    run.waitForReadyRead(200);
    out += run.readAllStandardOutput();
  }
  ASSERT_GE(out.count("○ "), 2) << out.toStdString() << run.readAllStandardError().toStdString();
  mark = "kestrune-calc-" + QByteArray::number(run.processId()) + "-";
  const QStringList before = processesMentioning(mark);
  ASSERT_TRUE(before.join(QLatin1Char('\n')).contains(QStringLiteral("soffice.bin")))
      << before.join('\n').toStdString();
  ASSERT_TRUE(QFileInfo::exists(lock));
  ASSERT_FALSE(leftInTemp().isEmpty());

  ::kill(static_cast<pid_t>(run.processId()), SIGKILL);
  ASSERT_TRUE(run.waitForFinished(10000));
  EXPECT_EQ(run.exitStatus(), QProcess::CrashExit);

  // Within a deadline nothing of that run is left: no LibreOffice, no lock, no profile.
  const QDeadlineTimer deadline(30000);
  while ((!processesMentioning(mark).isEmpty() || QFileInfo::exists(lock) || !leftInTemp().isEmpty()) &&
         !deadline.hasExpired())
    QThread::msleep(100);
  EXPECT_TRUE(processesMentioning(mark).isEmpty()) << processesMentioning(mark).join('\n').toStdString();
  EXPECT_FALSE(QFileInfo::exists(lock));
  EXPECT_TRUE(leftInTemp().isEmpty()) << leftInTemp().join(' ').toStdString();

  // The next run opens the same workbook, first brings back the rows the killed
  // run had written (they were never saved), then runs to its end below them
  // with the numbering continued: the settings it was given are overruled.
  writeSetup(50, 2);
  QProcess next;
  next.start(QStringLiteral(KESTRUNE_PATH), headlessArguments());
  ASSERT_TRUE(next.waitForFinished(120000));
  const QByteArray err = next.readAllStandardError();
  ASSERT_EQ(next.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(next.exitCode(), 0) << err.toStdString();
  EXPECT_EQ(next.readAllStandardOutput().count("○ "), 2);
  EXPECT_FALSE(QFileInfo::exists(lock));  // a normal end lets go of the workbook
  if (!xls::testing::haveXlrd()) GTEST_SKIP() << "python3-xlrd is missing";
  const QRegularExpressionMatch recovered =
      QRegularExpression(QStringLiteral("保存されていなかった取得データ (\\d+) 行を復元しました"))
          .match(QString::fromUtf8(err));
  ASSERT_TRUE(recovered.hasMatch()) << err.toStdString();
  const int rows = recovered.captured(1).toInt() + 2;
  const auto dump = xls::testing::runPython(xls::testing::XlrdDumpScript, book.toStdString());
  ASSERT_EQ(dump.status, 0) << dump.output;
  // sheet row col type value: from B2 down, the acquisition numbers 1, 2, 3 ... without a gap.
  for (int row = 1; row <= rows; ++row)
    EXPECT_NE(dump.output.find("0\t" + std::to_string(row) + "\t1\tnumber\t" + std::to_string(row) + "\t"),
              std::string::npos)
        << row << "\n"
        << dump.output;
  EXPECT_EQ(dump.output.find("0\t" + std::to_string(rows + 1) + "\t1\t"), std::string::npos) << dump.output;
}

}  // namespace
}  // namespace kestrune
