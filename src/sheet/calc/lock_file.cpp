#include "sheet/calc/lock_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSysInfo>
#include <QUrl>

#include <vector>

namespace kestrune::sheet::calc {

namespace {

constexpr qint64 MostLockBytes = 4096;  // a lock line is short; more is not a lock
constexpr int LockFields = 5;
const QLatin1String ProfileLeaf("profile");
const QLatin1String ProfileOption("-env:UserInstallation=");

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
  if (!lock.remove())
    return fail(QStringLiteral("ブック %1 の古いロック %2 を削除できません: %3")
                    .arg(QFileInfo(documentPath).fileName(), lockPath, lock.errorString()));
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
          privateProfileRunning};
}

}  // namespace kestrune::sheet::calc
