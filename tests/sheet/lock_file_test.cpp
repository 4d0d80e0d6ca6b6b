// The workbook lock: LibreOffice's lock line read and written, the judgement
// whether its holder is gone (LibreOffice's rules and our own process
// check), and WorkbookLock on real files: one winner among racing takers, a
// killed holder's lock taken over.
#include "sheet/lock_file.h"

#include "core/trace.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <functional>
#include <future>
#include <csignal>
#include <optional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrune::sheet {
namespace {

// A regular file's bytes; nothing for a pipe, which would hold the reader.
QByteArray readAll(const QString& path) {
  QFile f(path);
  return QFileInfo(path).isFile() && f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QDateTime at(const char* text) { return QDateTime::fromString(QString::fromLatin1(text), "dd.MM.yyyy HH:mm"); }

struct LockCase {
  const char* what;
  QByteArray bytes;
  std::optional<LockOwner> owner;
  bool profileExists = false;
  bool profileInUse = false;
  bool stale = false;
  std::optional<QDateTime> started = std::nullopt;  // of the process the lock names; nullopt: no such process
  QDateTime written = {};                           // the lock file's time; invalid: unknown
};

TEST(LockFileTest, ParsesLibreOfficeLinesAndJudgesWhetherTheHolderIsGone) {
  const QString ours = QStringLiteral("file:///tmp/kestrune-calc-4242-1796638550477/profile");
  const QString users = QStringLiteral("file:///home/aiko/.config/libreoffice/4");
  const QString program = QStringLiteral("file:///usr/bin/kestrune");
  const LockOwner kestrune{QStringLiteral("Kestrune (4242)"), QStringLiteral("aiko"), QStringLiteral("vm"),
                           QStringLiteral("07.12.2026 10:15"), program};
  const QByteArray kestruneLine = "Kestrune (4242),aiko,vm,07.12.2026 10:15," + program.toUtf8() + ";";
  const LockCase cases[] = {
      {"our crashed run, its profile gone", ",root,vm,07.12.2026 10:15," + ours.toUtf8() + ";",
       LockOwner{{}, QStringLiteral("root"), QStringLiteral("vm"), QStringLiteral("07.12.2026 10:15"), ours}, false,
       false, true},
      {"our run whose LibreOffice was killed, profile left", ",root,vm,07.12.2026 10:15," + ours.toUtf8() + ";",
       LockOwner{{}, QStringLiteral("root"), QStringLiteral("vm"), QStringLiteral("07.12.2026 10:15"), ours}, true,
       false, true},
      {"our run, still running", ",root,vm,07.12.2026 10:15," + ours.toUtf8() + ";",
       LockOwner{{}, QStringLiteral("root"), QStringLiteral("vm"), QStringLiteral("07.12.2026 10:15"), ours}, true,
       true, false},
      {"the user's own LibreOffice here", "Aiko\\, Lab 2,aiko,VM.example.org,01.12.2026 08:00," + users.toUtf8() + ";",
       LockOwner{QStringLiteral("Aiko, Lab 2"), QStringLiteral("aiko"), QStringLiteral("VM.example.org"),
                 QStringLiteral("01.12.2026 08:00"), users},
       true, false, false},
      {"another computer, profile path unknown here", ",aiko,pc7,01.12.2026 08:00," + users.toUtf8() + ";",
       LockOwner{{}, QStringLiteral("aiko"), QStringLiteral("pc7"), QStringLiteral("01.12.2026 08:00"), users}, false,
       false, false},
      {"escaped semicolon in the name", "a\\;b,aiko,vm,x," + users.toUtf8() + ";trailing",
       LockOwner{QStringLiteral("a;b"), QStringLiteral("aiko"), QStringLiteral("vm"), QStringLiteral("x"), users},
       false, false, true},
      {"Kestrune here, its process gone", kestruneLine, kestrune, true, false, true, std::nullopt},
      {"Kestrune here, still running", kestruneLine, kestrune, true, false, false, at("07.12.2026 10:14")},
      {"Kestrune here, started within the minute it locked", kestruneLine, kestrune, true, false, false,
       at("07.12.2026 10:15").addSecs(59)},
      {"Kestrune here, its process id now another program's", kestruneLine, kestrune, true, false, true,
       at("07.12.2026 11:30")},
      {"Kestrune here, alive but its start unreadable", kestruneLine, kestrune, true, false, false, QDateTime()},
      {"Kestrune on another computer", "Kestrune (4242),aiko,pc7,07.12.2026 10:15," + program.toUtf8() + ";",
       LockOwner{QStringLiteral("Kestrune (4242)"), QStringLiteral("aiko"), QStringLiteral("pc7"),
                 QStringLiteral("07.12.2026 10:15"), program},
       true, false, false, std::nullopt},
      {"the user's own LibreOffice here, written before the machine started",
       "Aiko,aiko,vm,01.12.2026 08:00," + users.toUtf8() + ";",
       LockOwner{QStringLiteral("Aiko"), QStringLiteral("aiko"), QStringLiteral("vm"),
                 QStringLiteral("01.12.2026 08:00"), users},
       true, false, true, std::nullopt, at("07.12.2026 08:59")},
      {"Kestrune here, alive, written after the machine started", kestruneLine, kestrune, true, false, false,
       at("07.12.2026 10:14"), at("07.12.2026 10:15")},
      {"another computer, written before this machine started", ",aiko,pc7,01.12.2026 08:00," + users.toUtf8() + ";",
       LockOwner{{}, QStringLiteral("aiko"), QStringLiteral("pc7"), QStringLiteral("01.12.2026 08:00"), users}, true,
       false, false, std::nullopt, at("01.12.2026 08:00")},
      {"cut short", ",root,vm,07.12.2026 10:15,file:///tmp/kes", std::nullopt},
      {"too few fields", "root,vm;", std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const LockCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::optional<LockOwner> owner = parseLockFile(c.bytes);
    ASSERT_EQ(owner.has_value(), c.owner.has_value());
    if (!owner) continue;
    EXPECT_EQ(*owner, *c.owner);
    EXPECT_EQ(parseLockFile(formatLockLine(*owner)), owner) << formatLockLine(*owner).toStdString();
    const MachineFacts here{QStringLiteral("vm"), [&](const QString&) { return c.profileExists; },
                            [&](const QString&) { return c.profileInUse; },
                            [&](qint64 pid) {
                              EXPECT_EQ(pid, 4242);
                              return c.started;
                            },
                            at("07.12.2026 09:00")};
    EXPECT_EQ(lockIsStale(*owner, here, c.written), c.stale);
  }
  EXPECT_EQ(kestruneLockOwner(4242, QStringLiteral("aiko"), QStringLiteral("vm"), at("07.12.2026 10:15"), program),
            kestrune);
  EXPECT_EQ(kestruneLockPid(kestrune), 4242);
  EXPECT_EQ(kestruneLockPid(LockOwner{QStringLiteral("Kestrune"), {}, {}, {}, {}}), std::nullopt);
  EXPECT_EQ(QFileInfo(lockFilePath(QStringLiteral("/data/run 1/book.xls"))).filePath(),
            QStringLiteral("/data/run 1/.~lock.book.xls#"));
  const QString message =
      inUseMessage(QStringLiteral("/data/book.xls"), *parseLockFile("Aiko,aiko,pc7,01.12.2026 08:00,x;"));
  EXPECT_EQ(message.toStdString(),
            "ブック book.xls は Aiko（aiko） が使用中です（コンピューター: pc7、01.12.2026 08:00 から）");
}

TEST(WorkbookLockTest, OfTakersRacingForALockExactlyOneWins) {
  QTemporaryDir dir;
  const QString book = dir.filePath(QStringLiteral("book.xls"));
  constexpr int Takers = 6;
  constexpr int Rounds = 40;
  std::barrier start(Takers);
  std::vector<std::optional<WorkbookLock>> won(Takers);
  std::atomic<int> refusedInUse{0};
  for (int round = 0; round < Rounds; ++round) {
    std::vector<std::thread> takers;
    for (int i = 0; i < Takers; ++i)
      takers.emplace_back([&, i] {
        start.arrive_and_wait();
        Result<WorkbookLock> taken = WorkbookLock::take(book);
        if (taken)
          won[i] = std::move(taken).value();
        else if (taken.description().contains(QStringLiteral("使用中")))
          ++refusedInUse;
      });
    for (std::thread& t : takers) t.join();
    int winners = 0;
    for (std::optional<WorkbookLock>& lock : won)
      if (lock) ++winners;
    ASSERT_EQ(winners, 1) << "round " << round;
    for (std::optional<WorkbookLock>& lock : won) lock.reset();
    ASSERT_FALSE(QFileInfo::exists(lockFilePath(book))) << "the winner's lock goes with it";
  }
  EXPECT_GT(refusedInUse.load(), 0) << "losers name the holder";

  // Only our own lock is removed: one rewritten by somebody else stays.
  Result<WorkbookLock> lock = WorkbookLock::take(book);
  ASSERT_TRUE(lock.ok()) << lock.description().toStdString();
  const std::optional<LockOwner> owner = parseLockFile(readAll(lock->path()));
  ASSERT_TRUE(owner.has_value());
  EXPECT_EQ(kestruneLockPid(*owner), ::getpid());
  EXPECT_EQ(owner->host, QSysInfo::machineHostName());
  const QByteArray other = "Aiko,aiko,pc7,01.12.2026 08:00,file:///home/aiko/.config/libreoffice/4;";
  ASSERT_TRUE(writeFile(lock->path(), other));
  lock->release();
  EXPECT_EQ(readAll(lockFilePath(book)), other);
}

TEST(WorkbookLockTest, AKilledHoldersLockIsTakenOverWithANote) {
  QTemporaryDir dir;
  const QString book = dir.filePath(QStringLiteral("book.xls"));
  QProcess holder;
  holder.start(QStringLiteral("sleep"), {QStringLiteral("600")});
  ASSERT_TRUE(holder.waitForStarted());
  const qint64 pid = holder.processId();
  const QByteArray line =
      formatLockLine(kestruneLockOwner(pid, QStringLiteral("aiko"), QSysInfo::machineHostName(),
                                       QDateTime::currentDateTime(), QStringLiteral("file:///usr/bin/kestrune")));
  ASSERT_TRUE(writeFile(lockFilePath(book), line));

  const Result<WorkbookLock> refused = WorkbookLock::take(book);
  ASSERT_FALSE(refused.ok());
  EXPECT_TRUE(refused.description().contains(QStringLiteral("Kestrune (%1)").arg(pid)))
      << refused.description().toStdString();
  EXPECT_EQ(readAll(lockFilePath(book)), line);

  ::kill(static_cast<pid_t>(pid), SIGKILL);
  ASSERT_TRUE(holder.waitForFinished());
  QStringList notes;
  setTraceSink([&](const QString& note) { notes << note; });
  Result<WorkbookLock> taken = WorkbookLock::take(book);
  setTraceSink({});
  ASSERT_TRUE(taken.ok()) << taken.description().toStdString();
  const std::optional<LockOwner> owner = parseLockFile(readAll(lockFilePath(book)));
  ASSERT_TRUE(owner.has_value());
  EXPECT_EQ(kestruneLockPid(*owner), ::getpid());
  ASSERT_EQ(notes.size(), 1);
  EXPECT_TRUE(notes[0].contains(QStringLiteral("Kestrune (%1)").arg(pid))) << notes[0].toStdString();
  taken->release();

  // A holder that has ended but is not reaped yet (a zombie) is gone as well.
  const pid_t zombie = ::fork();
  if (zombie == 0) ::_exit(0);
  ASSERT_GT(zombie, 0);
  siginfo_t ended{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(zombie), &ended, WEXITED | WNOWAIT), 0);  // exited, left unreaped
  ASSERT_TRUE(writeFile(
      lockFilePath(book),
      formatLockLine(kestruneLockOwner(zombie, QStringLiteral("aiko"), QSysInfo::machineHostName(),
                                       QDateTime::currentDateTime(), QStringLiteral("file:///usr/bin/kestrune")))));
  const Result<WorkbookLock> afterZombie = WorkbookLock::take(book);
  ::waitpid(zombie, nullptr, 0);
  EXPECT_TRUE(afterZombie.ok()) << afterZombie.description().toStdString();
}

// Sets a file's modification time, as a lock left by an earlier boot has it.
bool setModified(const QString& path, const QDateTime& when) {
  const qint64 ms = when.toMSecsSinceEpoch();
  const timespec times[2] = {{ms / 1000, (ms % 1000) * 1000000}, {ms / 1000, (ms % 1000) * 1000000}};
  return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

// What a power cut, a crash or somebody else leaves where the lock belongs,
// and what opening the workbook does about it, through both ways in.
TEST(WorkbookLockTest, LeftoversAtTheLockPlaceAreTakenOverOrRefusedWithoutHarm) {
  QTemporaryDir dir;
  const QString book = dir.filePath(QStringLiteral("book.xls"));
  const QString lock = lockFilePath(book);
  const QString target = dir.filePath(QStringLiteral("target.txt"));
  const QDateTime boot = localMachine().bootTime;
  ASSERT_TRUE(boot.isValid()) << "no boot time in /proc/stat";
  const QString host = QSysInfo::machineHostName();
  const QByteArray aged = QDateTime::currentDateTime().addSecs(-60).toString(Qt::ISODate).toUtf8();
  const QByteArray ownLine = formatLockLine(kestruneLockOwner(
      ::getpid(), QStringLiteral("aiko"), host, QDateTime::currentDateTime(), QStringLiteral("file:///")));
  const QByteArray userLine = ",aiko," + host.toUtf8() + ",01.12.2026 08:00,file:///;";  // its profile ("/") exists
  enum class Expect { TakenOver, InUse, Refused };
  struct Case {
    const char* what;
    std::function<bool()> plant;
    Expect expect;
    const char* saying;  // in the message or the note
  };
  const auto file = [&](QByteArray bytes, QDateTime when) {
    return [&, bytes, when] { return writeFile(lock, bytes) && (!when.isValid() || setModified(lock, when)); };
  };
  const Case cases[] = {
      {"empty, from a power cut", file({}, boot.addSecs(-3600)), Expect::TakenOver, "could not be read"},
      {"empty, left a minute ago", file({}, QDateTime::currentDateTime().addSecs(-60)), Expect::TakenOver,
       "could not be read"},
      {"empty, just now", file({}, {}), Expect::TakenOver, "could not be read"},
      {"cut short", file(userLine.left(20), QDateTime::currentDateTime().addSecs(-60)), Expect::TakenOver,
       "could not be read"},
      {"a holder that still exists, written before the boot", file(userLine, boot.addSecs(-60)), Expect::TakenOver,
       "before this computer started"},
      {"a holder that still exists", file(userLine, {}), Expect::InUse, "使用中"},
      {"this live process", file(ownLine, {}), Expect::InUse, "使用中"},
      {"a link to another file", [&] { return writeFile(target, aged) && QFile::link(target, lock); }, Expect::Refused,
       "シンボリックリンク"},
      {"a link to nothing", [&] { return QFile::link(target, lock); }, Expect::Refused, "シンボリックリンク"},
      {"a named pipe", [&] { return ::mkfifo(QFile::encodeName(lock).constData(), 0600) == 0; }, Expect::Refused,
       "通常のファイルではありません"},
      {"a long file", file(QByteArray(8192, 'x'), boot.addSecs(-60)), Expect::Refused, "大きすぎます"},
  };
  const std::function<Status()> ways[] = {
      [&]() -> Status {
        Result<WorkbookLock> taken = WorkbookLock::take(book);
        if (!taken) return taken.error();
        return {};  // the lock goes with `taken`
      },
      [&] { return clearStaleLock(book); },
  };
  for (const Case& c : cases)
    for (const auto& way : ways) {
      SCOPED_TRACE(c.what);
      QFile::remove(lock);
      QFile::remove(target);
      ASSERT_TRUE(c.plant());
      const QByteArray before = readAll(lock);
      QStringList notes;
      setTraceSink([&](const QString& note) { notes << note; });
      std::future<Status> opening = std::async(std::launch::async, way);
      if (opening.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        // It waits on the pipe: give it a writer so that the test can end.
        ::close(::open(QFile::encodeName(lock).constData(), O_WRONLY | O_NONBLOCK));
        ADD_FAILURE() << "opening the workbook hangs";
      }
      const Status opened = opening.get();
      setTraceSink({});
      if (c.expect == Expect::TakenOver) {
        EXPECT_TRUE(opened.ok()) << opened.description().toStdString();
        ASSERT_EQ(notes.size(), 1);
        EXPECT_TRUE(notes[0].contains(QString::fromUtf8(c.saying))) << notes[0].toStdString();
        EXPECT_TRUE(notes[0].contains(lock)) << notes[0].toStdString();
        continue;
      }
      ASSERT_FALSE(opened.ok());
      EXPECT_TRUE(opened.description().contains(QString::fromUtf8(c.saying))) << opened.description().toStdString();
      if (c.expect == Expect::Refused) {
        EXPECT_TRUE(opened.description().contains(lock));
      }
      EXPECT_TRUE(notes.isEmpty());
      const QFileInfo left(lock);
      EXPECT_TRUE(left.exists() || left.isSymLink()) << "what stood there is left alone";
      if (!left.isSymLink()) {
        EXPECT_EQ(readAll(lock), before);
      }
      EXPECT_EQ(readAll(target), QFileInfo::exists(target) ? aged : QByteArray()) << "the link's target is untouched";
      EXPECT_EQ(QFileInfo::exists(target), std::string(c.what) == "a link to another file");
    }
}

}  // namespace
}  // namespace kestrune::sheet
