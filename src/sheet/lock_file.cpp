// The lock's own file calls (an exclusive create of a synced file, process
// start times and the boot time from /proc, the login name) live in this one
// file.
#include "sheet/lock_file.h"

#include "core/boot_time.h"
#include "core/plain_file.h"
#include "core/trace.h"
#include "sheet/spreadsheet_app.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSysInfo>
#include <QThread>
#include <QUrl>

#include <algorithm>
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

QString documentName(const QString& documentPath) { return QFileInfo(documentPath).fileName(); }

QString readFailure(const QString& documentPath, const QString& lockPath) {
  return QStringLiteral("ブック %1 はロックされています（%2 を読めません）").arg(documentName(documentPath), lockPath);
}

QString removeFailure(const QString& documentPath, const QString& lockPath, const QString& why) {
  return QStringLiteral("ブック %1 の古いロック %2 を削除できません: %3")
      .arg(documentName(documentPath), lockPath, why);
}

QString createFailure(const QString& documentPath, const QString& lockPath, int error) {
  return QStringLiteral("ブック %1 のロック %2 を作成できません: %3")
      .arg(documentName(documentPath), lockPath, QString::fromLocal8Bit(std::strerror(error)));
}

// Something other than a lock stands where the lock belongs; it is left as
// it is for the person who put it there.
QString notALockMessage(const QString& documentPath, const QString& lockPath, PlainFileState state) {
  if (state == PlainFileState::Link)
    return QStringLiteral(
               "ブック %1 のロックの場所 %2 がシンボリックリンクになっています。リンクの先は書き換えません。"
               "リンクを削除してから開き直してください")
        .arg(documentName(documentPath), lockPath);
  if (state == PlainFileState::NotRegular)
    return QStringLiteral(
               "ブック %1 のロックの場所 %2 "
               "が通常のファイルではありません（名前付きパイプ、デバイス、フォルダーなど）。"
               "削除してから開き直してください")
        .arg(documentName(documentPath), lockPath);
  return QStringLiteral(
             "ブック %1 のロック %2 はロックとしては大きすぎます（%3 バイトまで）。中身を確かめ、削除してから開き直して"
             "ください")
      .arg(documentName(documentPath), lockPath)
      .arg(MostLockBytes);
}

// The stale-lock note in the trace: whose lock was taken over, and why when
// it is not that its holder has ended.
void noteTakeOver(const QString& lockPath, const std::optional<LockOwner>& owner, const QString& why = {}) {
  QString what = owner ? QStringLiteral("took over the stale lock %1 of %2 (%3 on %4 since %5)")
                             .arg(lockPath, owner->name.isEmpty() ? QStringLiteral("LibreOffice") : owner->name,
                                  owner->user, owner->host, owner->since)
                       : QStringLiteral("took over the stale lock %1").arg(lockPath);
  if (!why.isEmpty()) what += QStringLiteral(": ") + why;
  trace(QStringLiteral("workbook lock"), what);
}

// A lock file's bytes, read without following a link or waiting on a pipe.
PlainFile readLock(const QString& lockPath) { return readPlainFile(lockPath, MostLockBytes, Links::Refuse); }

// What stands at a lock's path, judged.
struct Judged {
  enum class Kind { Free, Held, Stale } kind = Kind::Free;
  QString message;                      // Held: why the document cannot be opened
  SheetError code = SheetError::InUse;  // Held: a live holder, or a lock file we cannot make sense of
  PlainFile file;                       // Stale: removed only while it still holds these bytes
  std::optional<LockOwner> owner;       // Stale: whose lock it was, when it could be read
  QString why;                          // Stale: besides the holder having ended
};

// A lock file whose line cannot be read may be one LibreOffice is still
// writing; it is judged only when it has been so for this long.
constexpr qint64 UnreadableSettleMs = 2000;
constexpr qint64 UnreadablePollMs = 50;

Judged judgeLock(const QString& documentPath, const QString& lockPath, const MachineFacts& here) {
  Judged judged;
  PlainFile file = readLock(lockPath);
  std::optional<LockOwner> owner;
  // An unreadable line that is new: wait until it is written or old enough.
  for (;;) {
    if (file.state != PlainFileState::Read) break;
    owner = parseLockFile(file.bytes);
    if (owner) break;
    const qint64 age = file.modified.msecsTo(QDateTime::currentDateTime());
    if (age >= UnreadableSettleMs || age < 0) break;
    QThread::msleep(static_cast<unsigned long>(std::min(UnreadablePollMs, UnreadableSettleMs - age)));
    file = readLock(lockPath);
  }
  switch (file.state) {
    case PlainFileState::Missing:
      return judged;
    case PlainFileState::Link:
    case PlainFileState::NotRegular:
    case PlainFileState::TooLarge:
      judged.kind = Judged::Kind::Held;
      judged.code = SheetError::LockFailed;
      judged.message = notALockMessage(documentPath, lockPath, file.state);
      return judged;
    case PlainFileState::Unreadable:
      judged.kind = Judged::Kind::Held;
      judged.code = SheetError::LockFailed;
      judged.message = readFailure(documentPath, lockPath);
      return judged;
    case PlainFileState::Read:
      break;
  }
  if (owner && !lockIsStale(*owner, here, file.modified)) {
    judged.kind = Judged::Kind::Held;
    judged.message = inUseMessage(documentPath, *owner);
    return judged;
  }
  judged.kind = Judged::Kind::Stale;
  if (!owner)
    judged.why = QStringLiteral("its line could not be read (%1 bytes, written %2)")
                     .arg(file.bytes.size())
                     .arg(file.modified.toString(Qt::ISODate));
  else if (here.bootTime.isValid() && file.modified.isValid() && file.modified < here.bootTime)
    judged.why = QStringLiteral("written %1, before this computer started at %2")
                     .arg(file.modified.toString(Qt::ISODate), here.bootTime.toString(Qt::ISODate));
  judged.file = std::move(file);
  judged.owner = std::move(owner);
  return judged;
}

// Removes the lock judged stale only while it is still that one: a lock
// another process took meanwhile is left to it. Returns errno, 0 when done.
int removeStale(const QString& lockPath, const Judged& judged) {
  const PlainFile now = readLock(lockPath);
  if (now.state != PlainFileState::Read || now.bytes != judged.file.bytes || now.inode != judged.file.inode ||
      now.device != judged.file.device)
    return 0;
  if (::unlink(QFile::encodeName(lockPath).constData()) != 0 && errno != ENOENT) return errno;
  return 0;
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
  const std::optional<qint64> boot = bootSeconds();
  if (!number || ticksPerSecond <= 0 || !boot) return QDateTime();
  return QDateTime::fromSecsSinceEpoch(*boot + ticks / ticksPerSecond);
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

// Creates the lock file holding `line`, synced to the disk. Where the file
// system has unnamed files, the line is written and synced into one first
// and then linked to the lock's name, so nobody ever reads a half-written
// lock of ours; elsewhere the file is created under its name and written.
// Either way the create fails with EEXIST when anything (a lock, a link, a
// pipe) is already there. Returns 0 or errno; then nothing is left behind.
int createLock(const QByteArray& fileName, const QByteArray& folder, const QByteArray& line) {
  int fd = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  const bool unnamed = fd >= 0;
  if (!unnamed) fd = ::open(fileName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  int error = writeAll(fd, line) && ::fsync(fd) == 0 ? 0 : errno;
  if (error == 0 && unnamed) {
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, fileName.constData(), AT_SYMLINK_FOLLOW) != 0) error = errno;
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    if (!unnamed) ::unlink(fileName.constData());
    return error;
  }
  // A lock that is on the disk but not in its folder would vanish in a power cut.
  static_cast<void>(syncFolder(QFile::decodeName(folder)));  // the lock holds either way while we run
  return 0;
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

bool lockIsStale(const LockOwner& owner, const MachineFacts& here, const QDateTime& written) {
  if (owner.host.isEmpty() || !sameHost(owner.host, here.hostName)) return false;
  if (here.bootTime.isValid() && written.isValid() && written < here.bootTime) return true;
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
  const Judged judged = judgeLock(documentPath, lockPath, localMachine());
  if (judged.kind == Judged::Kind::Free) return {};
  if (judged.kind == Judged::Kind::Held) return fail(judged.code, judged.message);
  if (const int error = removeStale(lockPath, judged); error != 0)
    return fail(SheetError::LockFailed,
                removeFailure(documentPath, lockPath, QString::fromLocal8Bit(std::strerror(error))));
  noteTakeOver(lockPath, judged.owner, judged.why);
  return {};
}

void removeOwnLock(const QString& documentPath, const QString& privateFolderName) {
  if (documentPath.isEmpty() || privateFolderName.isEmpty()) return;
  const QString lockPath = lockFilePath(documentPath);
  const PlainFile lock = readLock(lockPath);
  if (lock.state != PlainFileState::Read) return;  // none left (LibreOffice removed it), or not a lock
  const std::optional<LockOwner> owner = parseLockFile(lock.bytes);
  if (owner && privateProfileFolderOf(QUrl(owner->profileUrl).toLocalFile()) == privateFolderName)
    static_cast<void>(QFile::remove(lockPath));  // a lock that stays is judged stale by the next open
}

MachineFacts localMachine() {
  const std::optional<qint64> boot = bootSeconds();
  return {QSysInfo::machineHostName(), [](const QString& path) { return QFileInfo::exists(path); },
          privateProfileRunning, procStartTime, boot ? QDateTime::fromSecsSinceEpoch(*boot) : QDateTime()};
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
  const QByteArray folder = QFile::encodeName(QFileInfo(lockPath).absolutePath());
  const QByteArray line =
      formatLockLine(kestruneLockOwner(QCoreApplication::applicationPid(), loginName(), QSysInfo::machineHostName(),
                                       QDateTime::currentDateTime(), ownProfileUrl()));
  const MachineFacts here = localMachine();
  QString lastRefusal;
  for (int round = 0; round < TakeRounds; ++round) {
    const int error = createLock(fileName, folder, line);
    if (error == 0) {
      WorkbookLock lock;
      lock.path_ = lockPath;
      lock.line_ = line;
      return lock;
    }
    if (error != EEXIST) return fail(SheetError::LockFailed, createFailure(documentPath, lockPath, error));
    const Judged judged = judgeLock(documentPath, lockPath, here);
    if (judged.kind == Judged::Kind::Free) continue;  // its holder let go meanwhile
    if (judged.kind == Judged::Kind::Held) return fail(judged.code, judged.message);
    if (const int removeError = removeStale(lockPath, judged); removeError != 0)
      return fail(SheetError::LockFailed,
                  removeFailure(documentPath, lockPath, QString::fromLocal8Bit(std::strerror(removeError))));
    noteTakeOver(lockPath, judged.owner, judged.why);
    lastRefusal = judged.owner ? inUseMessage(documentPath, *judged.owner) : readFailure(documentPath, lockPath);
  }
  if (lastRefusal.isEmpty()) return fail(SheetError::LockFailed, readFailure(documentPath, lockPath));
  return fail(SheetError::InUse, lastRefusal);
}

void WorkbookLock::release() {
  if (path_.isEmpty()) return;
  const QString path = std::exchange(path_, QString());
  // A lock that is no longer ours (removed by hand, taken over) stays as it is.
  const PlainFile now = readLock(path);
  if (now.state == PlainFileState::Read && now.bytes == line_)
    static_cast<void>(::unlink(QFile::encodeName(path).constData()));
  line_.clear();
}

}  // namespace kestrune::sheet
