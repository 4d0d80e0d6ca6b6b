#include "sheet/journal.h"

#include "core/folder_sync.h"
#include "core/tab_fields.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace kestrune::sheet {

namespace {

const QByteArray Magic = QByteArrayLiteral("kestrune-journal");
const QByteArray Version = QByteArrayLiteral("1");
const QString Suffix = QStringLiteral(".kestrune-journal");

QByteArray line(std::initializer_list<QByteArray> fields) {
  QByteArray out;
  for (const QByteArray& f : fields) {
    if (!out.isEmpty()) out += '\t';
    out += f;
  }
  return out + '\n';
}

QByteArray number(qint64 n) { return QByteArray::number(n); }

QByteArray checksum(const QByteArray& bytes) { return number(qChecksum(bytes)); }

std::optional<qint64> toNumber(QByteArrayView text) {
  bool ok = false;
  const qint64 n = text.toLongLong(&ok);
  if (!ok) return std::nullopt;
  return n;
}

std::optional<CellValue> valueOf(QByteArrayView kind, QByteArrayView text) {
  if (kind == "s") {
    auto s = unescapeField(text);
    if (!s) return std::nullopt;
    return CellValue(*s);
  }
  const auto n = toNumber(text);
  if (!n) return std::nullopt;
  if (kind == "n") return CellValue(static_cast<std::int32_t>(*n));
  const QDateTime when = QDateTime::fromMSecsSinceEpoch(*n);
  if (kind == "d") return CellValue(Stamp{when, Stamp::Kind::Date});
  if (kind == "t") return CellValue(Stamp{when, Stamp::Kind::Time});
  if (kind == "dt") return CellValue(Stamp{when, Stamp::Kind::DateTime});
  return std::nullopt;
}

QByteArray valueFields(const CellValue& value) {
  if (const auto* text = std::get_if<QString>(&value)) return "s\t" + escapeField(*text);
  if (const auto* n = std::get_if<std::int32_t>(&value)) return "n\t" + number(*n);
  const Stamp& stamp = std::get<Stamp>(value);
  const char* kind = stamp.kind == Stamp::Kind::Date ? "d" : stamp.kind == Stamp::Kind::Time ? "t" : "dt";
  return QByteArray(kind) + '\t' + number(stamp.value.toMSecsSinceEpoch());
}

// The workbook's own path with links resolved, so that every way of naming it
// finds the same journal.
QString canonical(const QString& workbookPath) {
  const QFileInfo info(workbookPath);
  const QString resolved = info.canonicalFilePath();
  return resolved.isEmpty() ? info.absoluteFilePath() : resolved;
}

QString errnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QByteArray identityLine(const WorkbookIdentity& identity) {
  return line({"identity", number(identity.size), number(identity.modifiedMs), identity.headSha256});
}

// File times may be coarser than the clock a save's start was read from (2 s
// on FAT, a timer tick on others): a file written just after that start may
// carry a time just before it.
constexpr qint64 FileTimeSlackMs = 2000;

}  // namespace

Result<WorkbookIdentity> identifyWorkbook(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return fail(QStringLiteral("%1 を読めません: %2").arg(path, file.errorString()));
  WorkbookIdentity identity;
  identity.size = file.size();
  identity.modifiedMs = file.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch();
  const QByteArray head = file.read(WorkbookHeadBytes);
  if (head.size() < std::min(identity.size, WorkbookHeadBytes))
    return fail(QStringLiteral("%1 を読めません: %2").arg(path, file.errorString()));
  identity.headSha256 = QCryptographicHash::hash(head, QCryptographicHash::Sha256).toHex();
  return identity;
}

bool JournalContents::fits(const std::optional<WorkbookIdentity>& current) const {
  if (!identity) return true;
  if (!current) return false;
  if (*current == *identity) return true;
  return savingSinceMs && current->modifiedMs >= *savingSinceMs - FileTimeSlackMs;
}

int JournalContents::unsavedRows() const {
  int n = 0;
  for (const JournalRow& row : rows)
    if (!row.saved) ++n;
  return n;
}

QString journalPathBeside(const QString& workbookPath) {
  const QFileInfo info(canonical(workbookPath));
  return info.dir().filePath(info.fileName() + Suffix);
}

QString journalPathForUser(const QString& workbookPath) {
  QString state = qEnvironmentVariable("XDG_STATE_HOME");
  if (state.isEmpty()) state = QDir::homePath() + QStringLiteral("/.local/state");
  const QByteArray hash =
      QCryptographicHash::hash(canonical(workbookPath).toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
  return state + QStringLiteral("/kestrune/journals/") + QFileInfo(workbookPath).fileName() + QLatin1Char('-') +
         QString::fromLatin1(hash) + Suffix;
}

Result<JournalContents> parseJournal(const QByteArray& bytes) {
  JournalContents contents;
  // Only whole lines count: the text after the last line feed was cut short.
  QList<QByteArray> lines = bytes.left(bytes.lastIndexOf('\n') + 1).split('\n');
  if (!lines.isEmpty()) lines.removeLast();
  if (lines.isEmpty()) return fail(QStringLiteral("取得データの記録が空です"));
  const QList<QByteArray> header = lines.front().split('\t');
  if (header.size() != 3 || header[0] != Magic || header[1] != Version)
    return fail(QStringLiteral("取得データの記録ではありません"));
  const auto path = unescapeField(header[2]);
  if (!path) return fail(QStringLiteral("取得データの記録ではありません"));
  contents.workbookPath = *path;
  qsizetype offset = lines.front().size() + 1;
  contents.completeBytes = offset;

  QString sheet;
  JournalRow pending;
  QByteArray pendingBytes;
  for (qsizetype i = 1; i < lines.size(); offset += lines[i].size() + 1, ++i) {
    const QByteArray& text = lines[i];
    const QList<QByteArray> f = text.split('\t');
    // A mark between whole rows ends the complete part too.
    const auto marked = [&] {
      if (pendingBytes.isEmpty()) contents.completeBytes = offset + text.size() + 1;
    };
    bool good = false;
    if (f[0] == "sheet" && f.size() == 2) {
      if (const auto name = unescapeField(f[1])) {
        sheet = *name;
        good = true;
      }
    } else if (f[0] == "cell" && f.size() == 5) {
      const auto row = toNumber(f[1]);
      const auto column = toNumber(f[2]);
      const auto value = valueOf(f[3], f[4]);
      if (row && column && value) {
        pending.cells.push_back(
            JournalCell{static_cast<std::int32_t>(*row), static_cast<std::int32_t>(*column), *value});
        good = true;
      }
    } else if (f[0] == "row" && f.size() == 5) {
      const auto row = toNumber(f[1]);
      const auto column = toNumber(f[2]);
      const auto acquisition = toNumber(f[3]);
      if (row && column && acquisition && f[4] == checksum(pendingBytes)) {
        pending.sheet = sheet;
        pending.nextRow = static_cast<std::int32_t>(*row);
        pending.nextColumn = static_cast<std::int32_t>(*column);
        pending.acquisitionNo = static_cast<std::int32_t>(*acquisition);
        contents.rows.push_back(std::move(pending));
        pending = JournalRow{};
        pendingBytes.clear();
        contents.completeBytes = offset + text.size() + 1;
        continue;
      }
    } else if (f[0] == "saved" && f.size() == 2) {
      if (const auto rows = toNumber(f[1]); rows && *rows >= 0 && *rows <= std::ssize(contents.rows)) {
        for (qint64 r = 0; r < *rows; ++r) contents.rows[static_cast<std::size_t>(r)].saved = true;
        marked();
        continue;
      }
    } else if (f[0] == "identity" && f.size() == 4) {
      const auto size = toNumber(f[1]);
      const auto modified = toNumber(f[2]);
      if (size && modified && f[3].size() == 64) {
        contents.identity = WorkbookIdentity{*size, *modified, f[3]};
        contents.savingSinceMs.reset();
        marked();
        continue;
      }
    } else if (f[0] == "saving" && f.size() == 2) {
      if (const auto since = toNumber(f[1])) {
        contents.savingSinceMs = *since;
        marked();
        continue;
      }
    }
    // A line that does not read is where the damage starts.
    if (!good) break;
    pendingBytes += text + '\n';
  }
  return contents;
}

Result<FoundJournal> findJournal(const QString& workbookPath) {
  // Both places hold one only when a journal moved to the user's folder (its
  // disk filled up) and the old one could not be removed: the longer wins.
  FoundJournal found;
  for (const QString& path : {journalPathBeside(workbookPath), journalPathForUser(workbookPath)}) {
    QFile file(path);
    if (!file.exists()) continue;
    if (!file.open(QIODevice::ReadOnly))
      return fail(QStringLiteral("取得データの記録 %1 を読めません: %2").arg(path, file.errorString()));
    Result<JournalContents> contents = parseJournal(file.readAll());
    if (!contents) return fail(QStringLiteral("%1: %2").arg(path, contents.description()));
    if (found.path.isEmpty() || contents->rows.size() > found.contents.rows.size())
      found = FoundJournal{path, std::move(contents).value()};
  }
  return found;
}

Result<QString> setJournalAside(const QString& journalPath, const QDateTime& now) {
  const QString stem = journalPath + now.toString(QStringLiteral("'.orphan-'yyyyMMdd-HHmmss"));
  const QByteArray from = QFile::encodeName(journalPath);
  for (int n = 1; n <= 100; ++n) {
    const QString place = n == 1 ? stem : stem + QStringLiteral("-%1").arg(n);
    const QByteArray to = QFile::encodeName(place);
    // RENAME_NOREPLACE: an orphan of the same second stays as it is.
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) {
      syncFolderOf(place);
      return place;
    }
    if (errno != EEXIST)
      return fail(QStringLiteral("取得データの記録 %1 の名前を変えられません: %2").arg(journalPath, errnoText(errno)));
  }
  return fail(QStringLiteral("取得データの記録 %1 の名前を変えられません").arg(journalPath));
}

namespace {

Status writeAll(int fd, const QByteArray& bytes, const QString& path) {
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail(QStringLiteral("取得データの記録 %1 に書き込めません: %2").arg(path, errnoText(errno)));
    done += n;
  }
  return {};
}

}  // namespace

JournalWriter::JournalWriter() = default;

JournalWriter::~JournalWriter() { close(); }

Status JournalWriter::open(const QString& workbookPath, const QString& journalPath) {
  if (isOpen()) return {};
  workbookPath_ = workbookPath;
  // A journal kept from before (a failed save) is continued where it is.
  QStringList places{journalPathBeside(workbookPath), journalPathForUser(workbookPath)};
  if (!journalPath.isEmpty())
    places = QStringList{journalPath};
  else if (QFile::exists(places[1]) && !QFile::exists(places[0]))
    places.removeFirst();
  QString reasons;
  for (const QString& place : places) {
    QDir().mkpath(QFileInfo(place).absolutePath());
    const QByteArray name = QFile::encodeName(place);
    const int fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
      reasons += QStringLiteral("\n%1: %2").arg(place, errnoText(errno));
      continue;
    }
    fd_ = fd;
    path_ = place;
    break;
  }
  if (!isOpen()) return fail(QStringLiteral("取得データの記録を作れません") + reasons);
  // Rows of an earlier session count too: "saved" marks count from the start.
  // A tail cut short by a crash is dropped, so the new rows follow whole ones.
  rows_ = 0;
  savedRows_ = 0;
  identity_.reset();
  saving_ = false;
  copy_.clear();
  copyBase_ = fileBase_ = 0;
  headerLine_.clear();
  sheetLine_.clear();
  rowLines_.clear();
  lastRowLines_.clear();
  savingLine_.clear();
  QFile existing(path_);
  if (existing.open(QIODevice::ReadOnly)) {
    const QByteArray content = existing.readAll();
    const Result<JournalContents> before = parseJournal(content);
    if (before) {
      copy_ = content.left(before->completeBytes);
      headerLine_ = copy_.left(copy_.indexOf('\n') + 1);
    }
    rows_ = before ? static_cast<int>(before->rows.size()) : 0;
    savedRows_ = before ? rows_ - before->unsavedRows() : 0;
    if (before) {
      identity_ = before->identity;
      saving_ = before->savingSinceMs.has_value();
    }
    if (::ftruncate(fd_, before ? before->completeBytes : 0) != 0) {
      const int error = errno;
      ::close(fd_);
      fd_ = -1;
      return fail(QStringLiteral("取得データの記録 %1 を整えられません: %2").arg(path_, errnoText(error)));
    }
  }
  stop_ = false;
  handed_ = durable_ = 0;
  syncError_ = 0;
  handedRows_ = durableRows_ = rows_;
  failedPlaces_.clear();
  lostReason_.clear();
  movedFrom_.clear();
  syncer_ = std::thread([this] { syncLoop(); });
  if (::lseek(fd_, 0, SEEK_END) == 0) {
    headerLine_ = line({Magic, Version, escapeField(canonical(workbookPath))});
    QByteArray start = headerLine_;
    // A journal belongs to the file it is written for; without a readable
    // file it fits any, as those of earlier versions do.
    if (const Result<WorkbookIdentity> identity = identifyWorkbook(workbookPath)) {
      start += identityLine(*identity);
      identity_ = *identity;
    }
    if (Status s = append(start); !s) return s;
    // The new file's name must survive a power cut too.
    syncFolderOf(path_);
  }
  return {};
}

Status JournalWriter::beginSave(qint64 nowMs) {
  const QByteArray saving = line({"saving", number(nowMs)});
  Status begun = appendMark(saving, saving);
  if (begun) {
    saving_ = true;
    savingLine_ = saving;
  }
  return begun;
}

Status JournalWriter::endSave(const std::optional<WorkbookIdentity>& saved) {
  // A failed save left the file as it was: the record before it holds again.
  const std::optional<WorkbookIdentity> now = saved ? saved : identity_;
  if (!now || (now == identity_ && !saving_)) return {};
  const QByteArray record = identityLine(*now);
  Status ended = appendMark(record, record);
  if (ended) {
    identity_ = now;
    saving_ = false;
  }
  return ended;
}

void JournalWriter::beginSheet(const QString& sheet) {
  sheetLine_ = line({"sheet", escapeField(sheet)});
  row_ += sheetLine_;
}

void JournalWriter::cell(std::int32_t row, std::int32_t column, const CellValue& value) {
  row_ += line({"cell", number(row), number(column), valueFields(value)});
}

Status JournalWriter::endRow(std::int32_t nextRow, std::int32_t nextColumn, std::int32_t acquisitionNo) {
  const QByteArray sum = checksum(row_);
  row_ += line({"row", number(nextRow), number(nextColumn), number(acquisitionNo), sum});
  const Status written = append(row_, rows_ + 1);
  row_.clear();
  if (written) ++rows_;
  return written;
}

Status JournalWriter::markSaved(int rows) {
  // Lines of a row in progress stay pending: the mark goes between whole rows.
  // The file and the copy may count their rows from different starts.
  Status marked = appendMark(line({"saved", number(rows - fileBase_)}), line({"saved", number(rows - copyBase_)}));
  if (!marked) return marked;
  savedRows_ = std::max(savedRows_, rows);
  // Every row is in the saved workbook: the copy keeps only the last one,
  // whose row line holds the cursor, so that it stays small over a long run.
  if (savedRows_ >= rows_ && row_.isEmpty() && rowLines_.isEmpty() && !lastRowLines_.isEmpty()) {
    copy_ = headerLine_ + (identity_ ? identityLine(*identity_) : QByteArray()) +
            (saving_ ? savingLine_ : QByteArray()) + sheetLine_ + lastRowLines_ + line({"saved", "1"});
    copyBase_ = rows_ - 1;
  }
  return marked;
}

Status JournalWriter::append(const QByteArray& bytes, int rowsAfter) {
  const Status written = write(bytes, bytes, rowsAfter);
  if (!written) return written;
  // The row's lines, for the copy to keep when every row is saved.
  if (rowsAfter < 0) {
    rowLines_ += bytes;
  } else {
    lastRowLines_ = rowLines_ + bytes;
    rowLines_.clear();
  }
  return written;
}

Status JournalWriter::appendMark(const QByteArray& fileBytes, const QByteArray& copyBytes) {
  return write(fileBytes, copyBytes, -1);
}

Status JournalWriter::write(const QByteArray& fileBytes, const QByteArray& copyBytes, int rowsAfter) {
  if (!lostReason_.isEmpty()) return fail(lostReason_);
  if (!isOpen()) return fail(QStringLiteral("取得データの記録が開いていません"));
  // A sync that failed since the last write lost what it covered from the
  // file's own point of view: the journal is written again elsewhere first.
  // A moved journal is the copy, which counts its rows as the copy does.
  if (Status synced = takeSyncFailure(); !synced) {
    if (Status moved = moveAway(synced); !moved) return moved;
  }
  const QByteArray& bytes = fileBase_ == copyBase_ ? copyBytes : fileBytes;
  if (Status written = writeAll(fd_, bytes, path_); !written) {
    // The disk is full, gone read-only or failing: the journal moves, with
    // every whole line it held, and the lines go there.
    if (Status moved = moveAway(written); !moved) return moved;
    if (Status again = writeAll(fd_, copyBytes, path_); !again) return lose(again);
  }
  copy_ += copyBytes;
  {
    const std::lock_guard lock(mutex_);
    ++handed_;
    if (rowsAfter >= 0) handedRows_ = rowsAfter;
  }
  wake_.notify_one();
  return {};
}

Status JournalWriter::takeSyncFailure() {
  int error = 0;
  {
    const std::lock_guard lock(mutex_);
    std::swap(error, syncError_);
  }
  if (error == 0) return {};
  return fail(QStringLiteral("取得データの記録 %1 をディスクに書き込めません: %2").arg(path_, errnoText(error)));
}

Status JournalWriter::moveAway(const Status& why) {
  failedPlaces_.insert(path_);
  for (const QString& place : {journalPathForUser(workbookPath_), journalPathBeside(workbookPath_)}) {
    if (failedPlaces_.contains(place)) continue;
    if (Status moved = moveTo(place); moved) {
      movedFrom_ = why.description();
      return {};
    } else {
      failedPlaces_.insert(place);
      return lose(fail(why.description() + QLatin1Char('\n') + moved.description()));
    }
  }
  return lose(why);
}

Status JournalWriter::lose(const Status& why) {
  // Nowhere left to write: the journal holds what reached it before, and no
  // caller is told that later rows are kept.
  lostReason_ = why.description();
  closeFile();
  return why;
}

Status JournalWriter::moveTo(const QString& place) {
  const QString old = path_;
  // The copy in memory, not the old file: on a failing disk it may not read
  // back, and a failed write may have left part of a line in it.
  const QByteArray content = copy_;
  closeFile();
  QDir().mkpath(QFileInfo(place).absolutePath());
  const QByteArray name = QFile::encodeName(place);
  const int fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return fail(QStringLiteral("取得データの記録を作れません\n%1: %2").arg(place, errnoText(errno)));
  Status written = writeAll(fd, content, place);
  if (written && ::fdatasync(fd) != 0)
    written = fail(QStringLiteral("取得データの記録 %1 をディスクに書き込めません: %2").arg(place, errnoText(errno)));
  if (!written) {
    ::close(fd);
    QFile::remove(place);
    return written;
  }
  syncFolderOf(place);
  fd_ = fd;
  path_ = place;
  fileBase_ = copyBase_;
  {
    const std::lock_guard lock(mutex_);
    stop_ = false;
    handed_ = durable_ = 0;
    syncError_ = 0;
    durableRows_ = handedRows_;  // everything written so far is on the disk now
  }
  syncer_ = std::thread([this] { syncLoop(); });
  // Removing works on a full disk; on a read-only one the old journal stays
  // behind, shorter, and the next open takes the longer one.
  QFile::remove(old);
  return {};
}

void JournalWriter::syncLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || handed_ > durable_; });
    if (handed_ == durable_ && stop_) return;
    const std::uint64_t target = handed_;
    const int rows = handedRows_;
    lock.unlock();
    const int error = ::fdatasync(fd_) == 0 ? 0 : errno;
    lock.lock();
    durable_ = target;
    // A failed sync is not retried: the kernel may have dropped the pages it
    // could not write and a second sync would report success.
    if (error != 0)
      syncError_ = error;
    else if (syncError_ == 0)
      durableRows_ = std::max(durableRows_, rows);
    synced_.notify_all();
  }
}

int JournalWriter::durableRows() const {
  const std::lock_guard lock(mutex_);
  return durableRows_;
}

Status JournalWriter::flush() {
  if (!lostReason_.isEmpty()) return fail(lostReason_);
  if (!isOpen()) return {};
  {
    std::unique_lock lock(mutex_);
    synced_.wait(lock, [this] { return durable_ >= handed_; });
  }
  Status synced = takeSyncFailure();
  if (!synced) synced = moveAway(synced);
  return synced;
}

void JournalWriter::close() {
  closeFile();
  row_.clear();
}

void JournalWriter::closeFile() {
  if (!isOpen()) return;
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  syncer_.join();
  ::close(fd_);
  fd_ = -1;
}

Status JournalWriter::retire() {
  const QString path = path_;
  close();
  path_.clear();
  if (path.isEmpty() || !QFile::exists(path)) return {};
  if (!QFile::remove(path)) return fail(QStringLiteral("取得データの記録 %1 を消せません").arg(path));
  return {};
}

}  // namespace kestrune::sheet
