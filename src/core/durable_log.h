// An append-only text file of records, one a line, that must survive a
// crash or a power cut: the acquisition journal and the MQTT outbox are
// built on it, each with its own format, place and lifetime.
//
// The log opens its file without following a symbolic link in its place and
// without waiting on a named pipe, appends whole lines, makes them durable
// (fdatasync, from a thread of its own), and writes the file
// anew (to compact it, or at another place) through a new file renamed over
// the old one, the folder synced after. What a record means, when the file
// is compacted and where it goes when its disk fails is its owner's choice.
#pragma once

#include "core/basic_result.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <thread>

namespace kestrune {

// What a log operation failed at; the owner words the message.
enum class LogFault {
  Missing,     // nothing at the path (and it was not to be created)
  Link,        // a symbolic link in the file's place
  NotRegular,  // a named pipe, a device, a folder
  Locked,      // another process holds the file
  Open,        // any other reason it could not be opened or created
  Read,
  Write,
  Sync,     // fdatasync failed: what was written since the last sync may be lost
  Replace,  // the new file could not be renamed over the old one
  Cut,      // a torn tail could not be cut off
  Closed,
};

struct LogError {
  QString description;  // the system's reason (strerror)
  LogFault fault = LogFault::Open;
  QString path;  // the file it concerned
};
template <typename T>
using LogResult = BasicResult<T, LogError>;
using LogStatus = BasicStatus<LogError>;

// `name` + `suffix` as a file name: whole when it fits in NAME_MAX bytes,
// else a prefix of `name` (cut between UTF-8 characters), "-" and the first
// 16 hex digits of the SHA-256 of `name`, then `suffix`.
QString fitFileName(const QString& name, const QString& suffix);

// Lines with their own checksum: the fields joined by tabs, a tab, and the
// CRC-32 (zlib's) of the text before it as eight lowercase hex digits.
QByteArray checkedLine(std::initializer_list<QByteArray> fields);
// The fields of such a line (without its end); none when the checksum fails
// or is missing.
std::optional<QList<QByteArray>> checkedFields(const QByteArray& line);

// The whole lines of `bytes` (a CR before the LF dropped); `end` is where
// the last of them ends. What follows it was cut short by a crash.
QList<QByteArray> wholeLines(const QByteArray& bytes, qsizetype& end);

// Reads the file at `path` whole, as open() does, without opening it for
// writing.
LogResult<QByteArray> readLog(const QString& path);

class DurableLog {
public:
  struct Options {
    unsigned mode = 0666;  // for files the log creates
    bool lock = false;     // hold an exclusive flock against other processes
  };

  explicit DurableLog(Options options);
  ~DurableLog();
  DurableLog(const DurableLog&) = delete;
  DurableLog& operator=(const DurableLog&) = delete;

  // Opens the file at `path` for appending and returns what it holds. A
  // missing file fails with Missing, or is created empty when
  // `createMissing`. Everything in it counts as durable.
  LogResult<QByteArray> open(const QString& path, bool createMissing = false);
  bool isOpen() const { return fd_ >= 0; }
  const QString& path() const { return path_; }
  // Bytes in the file.
  qint64 size() const { return size_; }

  // Cuts the file to its first `size` bytes (a line torn by a crash).
  LogStatus cut(qint64 size);

  // Appends `bytes`, whole lines. `count` is how many records the owner
  // counts once these bytes are on the disk (see durableCount()). A sync
  // that failed since the last append is reported first, and nothing is
  // written: the file may have lost what that sync covered.
  LogStatus append(const QByteArray& bytes, qint64 count);
  // Waits until every append made so far is on the disk; a failed sync is
  // reported.
  LogStatus sync();
  // The owner's count of the last append known to be on the disk (safe from
  // any thread).
  qint64 durableCount() const;
  // Sets the count of what the file holds now, all of it durable.
  void resetCount(qint64 count);

  // Makes `place` hold exactly `bytes`, on the disk, and continues there:
  // written to a new file beside it (its name + ".new"; one left by a crash,
  // or a link of that name, is removed first), synced, renamed over
  // whatever is at `place` (never written through) and the folder synced.
  // The file open before is let go; it stays where it was. When this fails,
  // the file open before stays open.
  LogStatus replace(const QString& place, const QByteArray& bytes);

  // Syncs what was appended and closes the file (the lock goes with it).
  void close();

private:
  LogStatus writeAll(int fd, const QByteArray& bytes, const QString& path);
  LogStatus takeSyncFailure();
  void startSyncer();
  void stopSyncer();
  void syncLoop();

  const Options options_;
  QString path_;
  int fd_ = -1;
  qint64 size_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable synced_;
  std::uint64_t handed_ = 0;   // appends so far
  std::uint64_t durable_ = 0;  // appends known to be on the disk
  qint64 handedCount_ = 0;
  qint64 durableCount_ = 0;
  int syncError_ = 0;  // errno of a failed fdatasync not yet reported
  bool stop_ = false;
  std::thread syncer_;
};

}  // namespace kestrune
