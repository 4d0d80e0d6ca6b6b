// LibreOffice's document lock: the file ".~lock.NAME#" beside a document,
// holding one line "name,user,host,since,profile-url;" about whoever has the
// document open. LibreOffice honours it and so do we: one writer per workbook,
// whether LibreOffice or Kestrune writes it. The format and the judgement are
// pure; clearStaleLock() and WorkbookLock apply them to the real file and
// machine.
#pragma once

#include "core/result.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>
#include <optional>

namespace kestrune::sheet {

struct LockOwner {
  QString name;        // the name set in the holder's LibreOffice; often empty
  QString user;        // the holder's login name
  QString host;        // the holder's computer
  QString since;       // when the document was opened, as LibreOffice writes it
  QString profileUrl;  // the holder's LibreOffice profile (a file: URL)
  friend bool operator==(const LockOwner&, const LockOwner&) = default;
};

// ".~lock.NAME#" in the document's folder.
QString lockFilePath(const QString& documentPath);

// The lock line; nullopt when the bytes are not one (a backslash escapes the
// next character, so names may hold commas and semicolons).
std::optional<LockOwner> parseLockFile(const QByteArray& bytes);
// The line LibreOffice writes for `owner`, with commas, semicolons and
// backslashes in the fields escaped.
QByteArray formatLockLine(const LockOwner& owner);

// A lock Kestrune's built-in application holds: the name field is
// "Kestrune (PID)", which LibreOffice shows as the holder, and which tells us
// the process to look for on the holder's computer. `since` is written as
// LibreOffice writes it (local time to the minute).
LockOwner kestruneLockOwner(qint64 pid, const QString& user, const QString& host, const QDateTime& since,
                            const QString& profileUrl);
// The process id of a lock Kestrune holds; nullopt for anyone else's lock.
std::optional<qint64> kestruneLockPid(const LockOwner& owner);

// The name of one of our private LibreOffice profile folders (see spawnOffice):
// "kestrune-calc-PID-MSECS" holding "profile". Unique per started LibreOffice.
QString privateProfileFolderName(qint64 pid, qint64 msecs);
// The private folder's name when `profilePath` is one of our profiles, else empty.
QString privateProfileFolderOf(const QString& profilePath);

// What the judgement needs to know about this machine.
struct MachineFacts {
  QString hostName;
  std::function<bool(const QString& path)> exists;
  // Whether a running LibreOffice was started with this private profile folder.
  std::function<bool(const QString& privateFolderName)> profileInUse;
  // When the process `pid` started; nullopt when there is no such process.
  std::function<std::optional<QDateTime>(qint64 pid)> processStarted;
  // When this machine last started; invalid when unknown.
  QDateTime bootTime;
};

// A lock is stale when its holder is gone. LibreOffice's lock: it was taken
// on this machine and its profile no longer exists, or the profile is one of
// our private ones that no running LibreOffice uses. Kestrune's lock: it was
// taken on this machine and its process is gone, or the process with that id
// started after the lock was taken (the id went to another program, as after
// a restart). Either kind taken on this machine and last written (`written`)
// before the machine started: nothing running now can hold it, as after a
// power cut. Anything else, another computer included, is held: we cannot
// see that the holder has gone.
bool lockIsStale(const LockOwner& owner, const MachineFacts& here, const QDateTime& written = {});

// Who holds the workbook, for the person who has to act on it.
QString inUseMessage(const QString& documentPath, const LockOwner& owner);

// Before opening a workbook: removes a stale lock beside it, and fails with
// inUseMessage() while a live one holds it. A lock file whose line cannot be
// read (empty or cut short, as a power cut leaves it) has no holder to ask
// and is stale once it has stayed so for a moment. A symbolic link, a named
// pipe or anything else that is not a short regular file at the lock's place
// is refused and left alone, with a message naming it.
Status clearStaleLock(const QString& documentPath);
// After LibreOffice has ended by force: removes the lock beside the workbook
// when it is still the one our profile folder wrote.
void removeOwnLock(const QString& documentPath, const QString& privateFolderName);

// This machine, as the lock files written here name it.
MachineFacts localMachine();

// The lock a Kestrune process holds on a workbook while it has it open. It
// is created exclusively (two processes racing for it cannot both win), whole
// and synced to the disk with its folder before it counts, and removed by release() or the destructor while it is still
// ours, so a lock left by a killed process is the only kind that stays; the next take() judges it stale and takes it
// over.
class WorkbookLock {
public:
  WorkbookLock() = default;
  WorkbookLock(WorkbookLock&& other) noexcept;
  WorkbookLock& operator=(WorkbookLock&& other) noexcept;
  WorkbookLock(const WorkbookLock&) = delete;
  WorkbookLock& operator=(const WorkbookLock&) = delete;
  ~WorkbookLock();

  // Takes the lock of the document at `documentPath` for this process. A
  // live holder refuses with inUseMessage(); a stale lock is taken over, with
  // a note in the trace.
  static Result<WorkbookLock> take(const QString& documentPath);

  bool held() const { return !path_.isEmpty(); }
  const QString& path() const { return path_; }
  // Removes the lock file when it is still the one we wrote.
  void release();

private:
  QString path_;
  QByteArray line_;
};

}  // namespace kestrune::sheet
