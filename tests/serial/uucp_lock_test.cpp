// UUCP lock files around the termios port: the file format, locks of live and
// dead programs, our own lock's life, and programs that hold the device open
// without any lock.
#include "serial/termios_port.h"
#include "serial/uucp_lock.h"

#include "core/boot_time.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrune::serial {
namespace {

struct ContentCase {
  QByteArray content;
  std::optional<long> pid;
};

TEST(UucpLockFormat, ContentIsReadAsTheHdbAsciiFormat) {
  const ContentCase cases[] = {
      {"      1234\n", 1234},    {"1234", 1234},
      {" 99999999\n", 99999999}, {"", std::nullopt},
      {"\n", std::nullopt},      {"abc\n", std::nullopt},
      {"0\n", std::nullopt},     {"-5\n", std::nullopt},
      {"12 34\n", std::nullopt}, {QByteArray("\xd2\x04\x00\x00", 4), std::nullopt},  // the old binary format
  };
  for (const ContentCase& c : cases) EXPECT_EQ(parseUucpLock(c.content), c.pid) << c.content.toStdString();
  EXPECT_EQ(uucpLockContent(1234), QByteArray("      1234\n"));
  EXPECT_EQ(parseUucpLock(uucpLockContent(4194304)), 4194304);
}

// A process that has ended: its PID names nobody (until the system reuses it).
long deadPid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return child;
}

class UucpLockTest : public ::testing::Test {
public:
  void SetUp() override {
    char name[256] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    // Programs the tests start hold only what they are given, not our master.
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    device = QString::fromLocal8Bit(name);
    map.set(1, device);
    ASSERT_TRUE(folder.isValid());
    lockFile = QDir(folder.path()).filePath(uucpLockName(device));
  }
  void TearDown() override {
    holder.kill();
    holder.waitForFinished();
    ::close(master);
    ::close(slave);
  }
  void writeLock(const QByteArray& content) {
    QFile file(lockFile);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
  }
  QByteArray lockContent() {
    QFile file(lockFile);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
  }
  // A program that holds the device open without a lock, as `sleep` with it as input.
  void startHolder() {
    holder.setStandardInputFile(device);
    holder.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    ASSERT_TRUE(holder.waitForStarted());
  }

  int master = -1, slave = -1;
  QString device;
  PortMap map;
  QTemporaryDir folder;
  QString lockFile;
  QProcess holder;
};

struct LockCase {
  const char* name;
  std::function<QByteArray(UucpLockTest&)> content;
  bool refused;
  const char* program;      // the holder named in the refusal
  bool beforeBoot = false;  // the lock file was written before this boot
};

TEST_F(UucpLockTest, ALiveLockRefusesAndAStaleOneIsTakenOver) {
  const LockCase cases[] = {
      {"ours", [](UucpLockTest&) { return uucpLockContent(::getpid()); }, true, nullptr},
      {"a child's",
       [](UucpLockTest& t) {
         t.startHolder();
         return uucpLockContent(t.holder.processId());
       },
       true, "sleep"},
      {"a dead program's", [](UucpLockTest&) { return uucpLockContent(deadPid()); }, false, nullptr},
      {"garbage", [](UucpLockTest&) { return QByteArray("\x01\x02garbage"); }, false, nullptr},
      {"empty", [](UucpLockTest&) { return QByteArray(); }, false, nullptr},
      // A power cut left it; the number now belongs to another process.
      {"a live number from before this boot",
       [](UucpLockTest& t) {
         t.startHolder();
         return uucpLockContent(t.holder.processId());
       },
       false, nullptr, true},
  };
  for (const LockCase& c : cases) {
    SCOPED_TRACE(c.name);
    const QByteArray content = c.content(*this);
    writeLock(content);
    if (c.beforeBoot) {
      const std::optional<qint64> boot = bootSeconds();
      ASSERT_TRUE(boot);
      const timespec times[2] = {{*boot - 3600, 0}, {*boot - 3600, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(lockFile).constData(), times, 0), 0);
    }
    TermiosPort port(map);
    port.setLockFolder(folder.path());
    const Status s = port.setPortOpen(true);
    if (c.refused) {
      const long pid = parseUucpLock(content).value_or(0);
      EXPECT_FALSE(s);
      EXPECT_TRUE(s.error().is(PortError::Busy));
      EXPECT_TRUE(s.description().contains(QStringLiteral("PID %1）").arg(pid))) << s.description().toStdString();
      EXPECT_TRUE(s.description().contains(lockFile)) << s.description().toStdString();
      if (c.program) {
        EXPECT_TRUE(s.description().contains(QString::fromUtf8(c.program)));
      }
      EXPECT_FALSE(port.portOpen());
      EXPECT_EQ(lockContent(), content);  // someone else's, left alone
    } else {
      ASSERT_TRUE(s) << s.description().toStdString();
      EXPECT_EQ(lockContent(), uucpLockContent(::getpid()));
      ASSERT_TRUE(port.setPortOpen(false));
      EXPECT_EQ(lockContent(), QByteArray("<none>"));
    }
    holder.kill();
    holder.waitForFinished();
    QFile::remove(lockFile);
  }
}

TEST_F(UucpLockTest, OurLockLastsThroughALossAndGoesWhenThePortCloses) {
  TermiosPort port(map);
  port.setLockFolder(folder.path());
  ASSERT_TRUE(port.setPortOpen(true));
  EXPECT_EQ(lockContent(), uucpLockContent(::getpid()));
  {
    TermiosPort second(map);  // the same process, another port object
    second.setLockFolder(folder.path());
    EXPECT_FALSE(second.setPortOpen(true));
  }
  EXPECT_EQ(lockContent(), uucpLockContent(::getpid()));  // the refused one took nothing away
  ::close(master);
  master = -1;
  for (int i = 0; i < 200 && !port.deviceAbsent(); ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  ASSERT_TRUE(port.deviceAbsent());
  EXPECT_EQ(lockContent(), uucpLockContent(::getpid()));  // kept while it is looked for
  ASSERT_TRUE(port.setPortOpen(false));
  EXPECT_EQ(lockContent(), QByteArray("<none>"));
}

TEST_F(UucpLockTest, WhereNoLockCanBeWrittenThePortOpensWithoutOne) {
  TermiosPort port(map);
  port.setLockFolder(folder.filePath(QStringLiteral("missing")));
  ASSERT_TRUE(port.setPortOpen(true));
  EXPECT_FALSE(QDir(folder.filePath(QStringLiteral("missing"))).exists());
}

TEST_F(UucpLockTest, AProgramHoldingTheDeviceWithoutALockIsNamedAtOpen) {
  TermiosPort port(map);
  port.setLockFolder(folder.path());
  ASSERT_TRUE(port.setPortOpen(true));
  EXPECT_TRUE(port.openWarning().isEmpty()) << port.openWarning().toStdString();  // our own descriptors do not count
  ASSERT_TRUE(port.setPortOpen(false));

  startHolder();
  ASSERT_TRUE(port.setPortOpen(true));
  const QString warning = port.openWarning();
  EXPECT_TRUE(warning.contains(QStringLiteral("sleep（PID %1）").arg(holder.processId()))) << warning.toStdString();
  EXPECT_TRUE(warning.contains(device));
}

// The instrument at the other end of a pseudo-terminal keeps its slave open
// too: holding the master, it is not another reader of the line.
TEST_F(UucpLockTest, TheProgramAtAPseudoTerminalsOtherEndIsNotNamed) {
  QProcess instrument;
  instrument.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral("-c"), QStringLiteral("import os, pty, time\n"
                                                         "m, s = pty.openpty()\n"
                                                         "print(os.ttyname(s), flush=True)\n"
                                                         "time.sleep(60)\n")});
  ASSERT_TRUE(instrument.waitForReadyRead(10000));
  const QString other = QString::fromLocal8Bit(instrument.readLine()).trimmed();
  map.set(1, other);
  TermiosPort port(map);
  port.setLockFolder(folder.path());
  ASSERT_TRUE(port.setPortOpen(true));
  EXPECT_TRUE(port.openWarning().isEmpty()) << port.openWarning().toStdString();
  ASSERT_TRUE(port.setPortOpen(false));
  instrument.kill();
  instrument.waitForFinished();
}

}  // namespace
}  // namespace kestrune::serial
