// UUCP lock files: the convention serial programs share to say who uses a
// device. The file `LCK..ttyUSB0` in the lock folder holds the holder's PID as
// ten characters right-aligned and a newline (the HDB ASCII format). Programs
// that open a device without any lock of the terminal itself respect it.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace kestrune::serial {

inline const QString DefaultLockFolder = QStringLiteral("/var/lock");
// The folder lock files go to: $KESTRUNE_LOCK_DIR where it is set (a system
// whose serial programs lock elsewhere; a test run keeping its locks apart
// from the machine's), else DefaultLockFolder.
QString lockFolder();

// The lock file's name for `device`: "LCK.." and the basename of the path the
// device resolves to (a by-id link locks the ttyUSB it names). Empty when the
// device does not exist.
QString uucpLockName(const QString& device);

// The PID a lock file holds, or nullopt when the content is not an HDB ASCII
// lock (empty, binary, garbage, a PID below 1).
std::optional<long> parseUucpLock(const QByteArray& content);
QByteArray uucpLockContent(long pid);

// Whether the process `pid` exists (ours included), as far as kill(pid, 0) tells.
bool processAlive(long pid);
// The command name /proc gives for `pid`, or "?".
QString processName(long pid);

// Another program's lock that refused us.
struct LockHolder {
  long pid = 0;
  QString program;   // processName(pid)
  QString lockFile;  // its path
};

// The lock this process holds on one device, at most one at a time.
class UucpLock {
public:
  explicit UucpLock(QString folder = lockFolder()) : folder_(std::move(folder)) {}
  ~UucpLock() { release(); }
  UucpLock(const UucpLock&) = delete;
  UucpLock& operator=(const UucpLock&) = delete;

  // Takes the lock for `device`. A lock whose process lives refuses it and is
  // returned; a stale one (dead process, unreadable content) is removed and
  // taken over. Where the folder does not let us write, we go on without a
  // lock of our own. Holding the lock for the same device already, nothing
  // changes; holding one for another device, that one is released first.
  std::optional<LockHolder> acquire(const QString& device);
  // Removes our lock file, if we hold one.
  void release();

  // The folder for the next acquire (tests use a temporary one).
  void setFolder(const QString& folder) { folder_ = folder; }
  // Our lock file's path; empty while we hold none.
  const QString& heldFile() const { return held_; }

private:
  QString folder_;
  QString held_;
};

}  // namespace kestrune::serial
