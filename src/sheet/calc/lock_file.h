// LibreOffice's document lock: the file ".~lock.NAME#" beside a document,
// holding one line "name,user,host,since,profile-url;" about whoever has the
// document open. LibreOffice honours it and so do we: one writer per workbook.
// The format and the judgement are pure; clearStaleLock() applies them to the
// real file and machine.
#pragma once

#include "core/result.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

namespace kestrune::sheet::calc {

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
};

// A lock is stale when its holder is gone: it was taken on this machine and
// its profile no longer exists, or the profile is one of our private ones that
// no running LibreOffice uses. Anything else, another computer included, is
// held: we cannot see that the holder has gone.
bool lockIsStale(const LockOwner& owner, const MachineFacts& here);

// Who holds the workbook, for the person who has to act on it.
QString inUseMessage(const QString& documentPath, const LockOwner& owner);

// Before opening a workbook: removes a stale lock beside it, and fails with
// inUseMessage() while a live one holds it.
Status clearStaleLock(const QString& documentPath);
// After LibreOffice has ended by force: removes the lock beside the workbook
// when it is still the one our profile folder wrote.
void removeOwnLock(const QString& documentPath, const QString& privateFolderName);

// This machine, as the lock files written here name it.
MachineFacts localMachine();

}  // namespace kestrune::sheet::calc
