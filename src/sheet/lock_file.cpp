// The lock's own file calls (an exclusive create, process start times from
// /proc, the login name) live in this one file.
#include "sheet/lock_file.h"

#include "core/trace.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSysInfo>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

namespace kestrune::sheet {

namespace {

constexpr qint64 MostLockBytes = 4096;  // a lock line is short; more is not a lock
constexpr int LockFields = 5;
const QLatin1String ProfileLeaf("profile");
const QLatin1String ProfileOption("-env:UserInstallation=");
const QString SinceFormat = QStringLiteral("dd.MM.yyyy HH:mm");
// A process that took a lock started before it: at most the minute the lock
// names, plus the second the boot time is rounded to.
constexpr qint64 LockTimeSlackSeconds = 60 + 2;
// Rounds of finding a stale lock, removing it and creating ours, before
// giving up on a lock that keeps changing hands.
constexpr int TakeRounds = 3;

// Host names compare without case; "vm" and "vm.example.org" are one machine
// (LibreOffice writes the fully qualified name where the resolver has one).
bool sameHost(const QString& a, const QString& b) {
  if (a.compare(b, Qt::CaseInsensitive) == 0) return true;
  if (a.contains(QLatin1Char('.')) && b.contains(QLatin1Char('.'))) return false;
  return a.section(QLatin1Char('.'), 0, 0).compare(b.section(QLatin1Char('.'), 0, 0), Qt::CaseInsensitive) == 0;
}

// Whether a running process was started with the private profile folder:
// LibreOffice carries its profile on its command line.
bool privateProfileRunning(const QString& folderName) {
  const QByteArray needle = folderName.toUtf8();
  const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  for (const QString& pid : pids) {
    bool number = false;
    pid.toLongLong(&number);
    if (!number) continue;
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!cmdline.open(QIODevice::ReadOnly)) continue;  // gone meanwhile, or not ours to read
    for (const QByteArray& argument : cmdline.readAll().split('\0'))
      if (argument.startsWith(ProfileOption.data()) && argument.contains(needle)) return true;
  }
  return false;
}

QString readFailure(const QString& documentPath, const QString& lockPath) {
  return QStringLiteral("ブック %1 はロックされています（%2 を読めません）")
      .arg(QFileInfo(documentPath).fileName(), lockPath);
}

QString removeFailure(const QString& documentPath, const QString& lockPath, const QString& why) {
  return QStringLiteral("ブック %1 の古いロック %2 を削除できません: %3")
      .arg(QFileInfo(documentPath).fileName(), lockPath, why);
}

void noteTakeOver(const QString& lockPath, const LockOwner& owner) {
  trace(QStringLiteral("workbook lock"),
        QStringLiteral("took over the stale lock %1 of %2 (%3 on %4 since %5)")
            .arg(lockPath, owner.name.isEmpty() ? QStringLiteral("LibreOffice") : owner.name, owner.user, owner.host,
                 owner.since));
}

// A lock file's bytes; nullopt when there is none or it cannot be read.
std::optional<QByteArray> readLock(const QString& lockPath, bool* missing = nullptr) {
  QFile lock(lockPath);
  if (!lock.open(QIODevice::ReadOnly)) {
    if (missing) *missing = !lock.exists();
    return std::nullopt;
  }
  return lock.read(MostLockBytes);
}

// When a process started: its start in clock ticks after boot (/proc/PID/stat,
// the 22nd field, counted after the command name, which may hold anything)
// plus the boot time (/proc/stat). A process that has ended but is not yet
// reaped (state Z or X) is gone. An existing process whose start cannot be
// read gives an invalid time: alive, age unknown.
std::optional<QDateTime> procStartTime(qint64 pid) {
  if (pid <= 0) return std::nullopt;
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) {
    if (QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid))) return QDateTime();
    return std::nullopt;
  }
  const QByteArray line = stat.readAll();
  const qsizetype commandEnd = line.lastIndexOf(')');
  if (commandEnd < 0) return QDateTime();
  const QList<QByteArray> fields = line.mid(commandEnd + 2).split(' ');
  if (!fields.isEmpty() && (fields[0] == "Z" || fields[0] == "X")) return std::nullopt;
  constexpr qsizetype StartTimeAfterCommand = 22 - 3;  // fields 1 and 2 are the pid and (command)
  bool number = false;
  const qint64 ticks = fields.size() > StartTimeAfterCommand ? fields[StartTimeAfterCommand].toLongLong(&number) : 0;
  const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
  QFile system(QStringLiteral("/proc/stat"));
  if (!number || ticksPerSecond <= 0 || !system.open(QIODevice::ReadOnly)) return QDateTime();
  for (const QByteArray& entry : system.readAll().split('\n'))
    if (entry.startsWith("btime ")) {
      const qint64 boot = entry.mid(6).trimmed().toLongLong(&number);
      if (number) return QDateTime::fromSecsSinceEpoch(boot + ticks / ticksPerSecond);
    }
  return QDateTime();
}

QString loginName() {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(4096);
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
    return QString::fromLocal8Bit(found->pw_name);
  return qEnvironmentVariable("USER");
}

// Ours to write in the profile field: the program, which exists while it is
// installed (a reader applying LibreOffice's rule finds it and keeps the lock).
QString ownProfileUrl() {
  const QString program = QCoreApplication::instance() ? QCoreApplication::applicationFilePath() : QString();
  return QUrl::fromLocalFile(program.isEmpty() ? QDir::homePath() : program).toString();
}

bool writeAll(int fd, const QByteArray& bytes) {
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<std::size_t>(bytes.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

}  // namespace

QString lockFilePath(const QString& documentPath) {
  const QFileInfo document(documentPath);
  return document.absoluteDir().filePath(QStringLiteral(".~lock.") + document.fileName() + QLatin1Char('#'));
}

std::optional<LockOwner> parseLockFile(const QByteArray& bytes) {
  const QString text = QString::fromUtf8(bytes);
  std::vector<QString> fields(1);
  bool escaped = false;
  bool ended = false;
  for (const QChar c : text) {
    if (escaped) {
      fields.back().append(c);
      escaped = false;
    } else if (c == QLatin1Char('\\')) {
      escaped = true;
    } else if (c == QLatin1Char(',')) {
      fields.emplace_back();
    } else if (c == QLatin1Char(';')) {
      ended = true;
      break;
    } else {
      fields.back().append(c);
    }
  }
  if (!ended || fields.size() < LockFields) return std::nullopt;
  return LockOwner{fields[0], fields[1], fields[2], fields[3], fields[4]};
}

QByteArray formatLockLine(const LockOwner& owner) {
  QString line;
  const QString fields[LockFields] = {owner.name, owner.user, owner.host, owner.since, owner.profileUrl};
  for (int i = 0; i < LockFields; ++i) {
    if (i > 0) line.append(QLatin1Char(','));
    for (const QChar c : fields[i]) {
      if (c == QLatin1Char(',') || c == QLatin1Char(';') || c == QLatin1Char('\\')) line.append(QLatin1Char('\\'));
      line.append(c);
    }
  }
  line.append(QLatin1Char(';'));
  return line.toUtf8();
}

LockOwner kestruneLockOwner(qint64 pid, const QString& user, const QString& host, const QDateTime& since,
                            const QString& profileUrl) {
  return LockOwner{QStringLiteral("Kestrune (%1)").arg(pid), user, host, since.toString(SinceFormat), profileUrl};
}

std::optional<qint64> kestruneLockPid(const LockOwner& owner) {
  static const QRegularExpression namePattern(QStringLiteral("^Kestrune \\(([0-9]{1,18})\\)$"));
  const QRegularExpressionMatch match = namePattern.match(owner.name);
  if (!match.hasMatch()) return std::nullopt;
  return match.captured(1).toLongLong();
}

QString privateProfileFolderName(qint64 pid, qint64 msecs) {
  return QStringLiteral("kestrune-calc-%1-%2").arg(pid).arg(msecs);
}

QString privateProfileFolderOf(const QString& profilePath) {
  static const QRegularExpression folderPattern(QStringLiteral("^kestrune-calc-[0-9]+-[0-9]+$"));
  const QFileInfo profile(QDir::cleanPath(profilePath));
  if (profile.fileName() != ProfileLeaf) return {};
  const QString folder = profile.dir().dirName();
  return folderPattern.match(folder).hasMatch() ? folder : QString();
}

bool lockIsStale(const LockOwner& owner, const MachineFacts& here) {
  if (owner.host.isEmpty() || !sameHost(owner.host, here.hostName)) return false;
  if (const std::optional<qint64> pid = kestruneLockPid(owner)) {
    if (!here.processStarted) return false;
    const std::optional<QDateTime> started = here.processStarted(*pid);
    if (!started) return true;
    const QDateTime taken = QDateTime::fromString(owner.since, SinceFormat);
    return started->isValid() && taken.isValid() && *started > taken.addSecs(LockTimeSlackSeconds);
  }
  const QUrl url(owner.profileUrl);
  if (!url.isLocalFile()) return false;
  const QString profile = url.toLocalFile();
  if (!here.exists(profile)) return true;
  const QString folder = privateProfileFolderOf(profile);
  return !folder.isEmpty() && !here.profileInUse(folder);
}

QString inUseMessage(const QString& documentPath, const LockOwner& owner) {
  QString who = owner.user.isEmpty() ? QStringLiteral("不明なユーザー") : owner.user;
  if (!owner.name.isEmpty()) who = QStringLiteral("%1（%2）").arg(owner.name, who);
  QString where = QStringLiteral("コンピューター: %1").arg(owner.host.isEmpty() ? QStringLiteral("不明") : owner.host);
  if (!owner.since.isEmpty()) where += QStringLiteral("、%1 から").arg(owner.since);
  return QStringLiteral("ブック %1 は %2 が使用中です（%3）").arg(QFileInfo(documentPath).fileName(), who, where);
}

Status clearStaleLock(const QString& documentPath) {
  const QString lockPath = lockFilePath(documentPath);
  QFile lock(lockPath);
  if (!lock.exists()) return {};
  if (!lock.open(QIODevice::ReadOnly)) return fail(readFailure(documentPath, lockPath));
  const std::optional<LockOwner> owner = parseLockFile(lock.read(MostLockBytes));
  lock.close();
  if (!owner) return fail(readFailure(documentPath, lockPath));
  if (!lockIsStale(*owner, localMachine())) return fail(inUseMessage(documentPath, *owner));
  if (!lock.remove()) return fail(removeFailure(documentPath, lockPath, lock.errorString()));
  noteTakeOver(lockPath, *owner);
  return {};
}

void removeOwnLock(const QString& documentPath, const QString& privateFolderName) {
  if (documentPath.isEmpty() || privateFolderName.isEmpty()) return;
  QFile lock(lockFilePath(documentPath));
  if (!lock.open(QIODevice::ReadOnly)) return;  // none left: LibreOffice removed it
  const std::optional<LockOwner> owner = parseLockFile(lock.read(MostLockBytes));
  lock.close();
  if (owner && privateProfileFolderOf(QUrl(owner->profileUrl).toLocalFile()) == privateFolderName)
    static_cast<void>(lock.remove());  // a lock that stays is judged stale by the next open
}

MachineFacts localMachine() {
  return {QSysInfo::machineHostName(), [](const QString& path) { return QFileInfo::exists(path); },
          privateProfileRunning, procStartTime};
}

WorkbookLock::WorkbookLock(WorkbookLock&& other) noexcept
    : path_(std::exchange(other.path_, QString())), line_(std::exchange(other.line_, QByteArray())) {}

WorkbookLock& WorkbookLock::operator=(WorkbookLock&& other) noexcept {
  if (this != &other) {
    release();
    path_ = std::exchange(other.path_, QString());
    line_ = std::exchange(other.line_, QByteArray());
  }
  return *this;
}

WorkbookLock::~WorkbookLock() { release(); }

Result<WorkbookLock> WorkbookLock::take(const QString& documentPath) {
  const QString lockPath = lockFilePath(documentPath);
  const QByteArray fileName = QFile::encodeName(lockPath);
  const QByteArray line =
      formatLockLine(kestruneLockOwner(QCoreApplication::applicationPid(), loginName(), QSysInfo::machineHostName(),
                                       QDateTime::currentDateTime(), ownProfileUrl()));
  std::optional<LockOwner> holder;
  for (int round = 0; round < TakeRounds; ++round) {
    // O_EXCL: of two processes creating the lock at once, exactly one succeeds.
    const int fd = ::open(fileName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      const bool written = writeAll(fd, line);
      const int writeError = errno;
      if (::close(fd) != 0 || !written) {
        ::unlink(fileName.constData());
        return fail(QStringLiteral("ブック %1 のロック %2 を作成できません: %3")
                        .arg(QFileInfo(documentPath).fileName(), lockPath,
                             QString::fromLocal8Bit(std::strerror(written ? errno : writeError))));
      }
      WorkbookLock lock;
      lock.path_ = lockPath;
      lock.line_ = line;
      return lock;
    }
    if (errno != EEXIST)
      return fail(QStringLiteral("ブック %1 のロック %2 を作成できません: %3")
                      .arg(QFileInfo(documentPath).fileName(), lockPath, QString::fromLocal8Bit(std::strerror(errno))));
    bool missing = false;
    const std::optional<QByteArray> held = readLock(lockPath, &missing);
    if (!held) {
      if (missing) continue;  // its holder let go meanwhile
      return fail(readFailure(documentPath, lockPath));
    }
    holder = parseLockFile(*held);
    if (!holder) return fail(readFailure(documentPath, lockPath));
    if (!lockIsStale(*holder, localMachine())) return fail(inUseMessage(documentPath, *holder));
    // Remove the lock judged stale only while it is still that one: a lock
    // another process took meanwhile is left to it (our create then fails).
    if (readLock(lockPath) == held && ::unlink(fileName.constData()) != 0 && errno != ENOENT)
      return fail(removeFailure(documentPath, lockPath, QString::fromLocal8Bit(std::strerror(errno))));
    noteTakeOver(lockPath, *holder);
  }
  if (holder) return fail(inUseMessage(documentPath, *holder));
  return fail(readFailure(documentPath, lockPath));
}

void WorkbookLock::release() {
  if (path_.isEmpty()) return;
  const QString path = std::exchange(path_, QString());
  // A lock that is no longer ours (removed by hand, taken over) stays as it is.
  if (readLock(path) == line_) static_cast<void>(::unlink(QFile::encodeName(path).constData()));
  line_.clear();
}

}  // namespace kestrune::sheet
