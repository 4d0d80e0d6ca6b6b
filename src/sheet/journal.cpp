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
#include <map>
#include <set>
#include <tuple>

#include <fcntl.h>
#include <unistd.h>

namespace kestrune::sheet {

namespace {

const QByteArray Magic = QByteArrayLiteral("kestrune-journal");
constexpr int CurrentVersion = 2;
const QByteArray Version = QByteArrayLiteral("2");
const QString Suffix = QStringLiteral(".kestrune-journal");

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
  // A stamp shown to the millisecond carries an "m" after its kind.
  const bool milliseconds = kind.endsWith('m');
  if (milliseconds) kind.chop(1);
  if (kind == "d") return CellValue(Stamp{when, Stamp::Kind::Date, milliseconds});
  if (kind == "t") return CellValue(Stamp{when, Stamp::Kind::Time, milliseconds});
  if (kind == "dt") return CellValue(Stamp{when, Stamp::Kind::DateTime, milliseconds});
  return std::nullopt;
}

QByteArray valueFields(const CellValue& value) {
  if (const auto* text = std::get_if<QString>(&value)) return "s\t" + escapeField(*text);
  if (const auto* n = std::get_if<std::int32_t>(&value)) return "n\t" + number(*n);
  const Stamp& stamp = std::get<Stamp>(value);
  QByteArray kind = stamp.kind == Stamp::Kind::Date ? "d" : stamp.kind == Stamp::Kind::Time ? "t" : "dt";
  if (stamp.milliseconds) kind += 'm';
  return kind + '\t' + number(stamp.value.toMSecsSinceEpoch());
}

// The workbook's own path with links resolved, so that every way of naming it
// finds the same journal.
QString canonical(const QString& workbookPath) {
  const QFileInfo info(workbookPath);
  const QString resolved = info.canonicalFilePath();
  return resolved.isEmpty() ? info.absoluteFilePath() : resolved;
}

QString errnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QByteArray markLine(const JournalMark& mark) {
  return checkedLine({"mark", number(mark.row), number(mark.column), escapeField(mark.sheet)});
}

QByteArray rowLine(qint64 seq, std::int32_t row, int cells, std::int32_t nextRow, std::int32_t nextColumn,
                   std::int32_t acquisitionNo, const QString& nextSheet) {
  if (nextSheet.isEmpty())
    return checkedLine(
        {"row", number(seq), number(row), number(cells), number(nextRow), number(nextColumn), number(acquisitionNo)});
  return checkedLine({"row", number(seq), number(row), number(cells), number(nextRow), number(nextColumn),
                      number(acquisitionNo), escapeField(nextSheet)});
}

QByteArray identityLine(const WorkbookIdentity& identity) {
  return checkedLine({"identity", number(identity.size), number(identity.modifiedMs), identity.headSha256});
}

// File times may be coarser than the clock a save's start was read from (2 s
// on FAT, a timer tick on others): a file written just after that start may
// carry a time just before it.
constexpr qint64 FileTimeSlackMs = 2000;

}  // namespace

Result<WorkbookIdentity> identifyWorkbook(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly))
    return fail(SheetError::WorkbookUnreadable, QStringLiteral("%1 を読めません: %2").arg(path, file.errorString()));
  WorkbookIdentity identity;
  identity.size = file.size();
  identity.modifiedMs = file.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch();
  const QByteArray head = file.read(WorkbookHeadBytes);
  if (head.size() < std::min(identity.size, WorkbookHeadBytes))
    return fail(SheetError::WorkbookUnreadable, QStringLiteral("%1 を読めません: %2").arg(path, file.errorString()));
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
  return info.dir().filePath(fitFileName(info.fileName(), Suffix));
}

QString journalPathForUser(const QString& workbookPath) {
  QString state = qEnvironmentVariable("XDG_STATE_HOME");
  if (state.isEmpty()) state = QDir::homePath() + QStringLiteral("/.local/state");
  const QByteArray hash =
      QCryptographicHash::hash(canonical(workbookPath).toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
  return state + QStringLiteral("/kestrune/journals/") +
         fitFileName(QFileInfo(workbookPath).fileName() + QLatin1Char('-') + QString::fromLatin1(hash), Suffix);
}

namespace {

// An identity or saving line (the same in both versions): whether it is one.
bool readFileMark(const QList<QByteArray>& f, JournalContents& contents) {
  if (f[0] == "identity" && f.size() == 4) {
    const auto size = toNumber(f[1]);
    const auto modified = toNumber(f[2]);
    if (!size || !modified || f[3].size() != 64) return false;
    contents.identity = WorkbookIdentity{*size, *modified, f[3]};
    contents.savingSinceMs.reset();
    return true;
  }
  if (f[0] == "saving" && f.size() == 2) {
    const auto since = toNumber(f[1]);
    if (!since) return false;
    contents.savingSinceMs = *since;
    return true;
  }
  return false;
}

// Version 1: a row's lines are checked together by its row line. Its lines
// carry no checksum of their own, so nothing after a damaged line can be
// trusted (a sheet line may be among them): the rest counts as damaged.
void parseVersion1(const QList<QByteArray>& lines, JournalContents& contents) {
  QString sheet;
  JournalRow pending;
  QByteArray pendingBytes;
  for (qsizetype i = 1; i < lines.size(); ++i) {
    const QByteArray& text = lines[i];
    const QList<QByteArray> f = text.split('\t');
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
        pending.row = pending.cells.empty() ? pending.nextRow - 1 : pending.cells.front().row;
        pending.nextColumn = static_cast<std::int32_t>(*column);
        pending.acquisitionNo = static_cast<std::int32_t>(*acquisition);
        contents.rows.push_back(std::move(pending));
        pending = JournalRow{};
        pendingBytes.clear();
        continue;
      }
    } else if (f[0] == "saved" && f.size() == 2) {
      if (const auto rows = toNumber(f[1]); rows && *rows >= 0 && *rows <= std::ssize(contents.rows)) {
        for (qint64 r = 0; r < *rows; ++r) contents.rows[static_cast<std::size_t>(r)].saved = true;
        continue;
      }
    } else if (readFileMark(f, contents)) {
      continue;
    }
    if (!good) {
      // The row in progress and everything after it.
      contents.damagedLines = static_cast<int>(lines.size() - i) + static_cast<int>(pendingBytes.count('\n'));
      return;
    }
    pendingBytes += text + '\n';
  }
}

// The current version, line by line (see journal.h). Returns how many lines
// read.
int parseVersion2(const QList<QByteArray>& lines, JournalContents& contents) {
  std::vector<JournalRow>& rows = contents.rows;
  std::vector<qint64> seqOf;                      // per row: its place among complete rows, 0 without end
  std::vector<std::set<std::int32_t>> columnsOf;  // per row: the columns read
  std::map<std::int32_t, std::size_t> open;       // row number: its row without end
  std::set<std::tuple<QString, std::int32_t, std::int32_t>> marked;  // sheet, row, column
  qint64 lastSeq = 0;
  qint64 savedMark = 0;
  std::size_t alarmsTook = 0;  // rows before the last "alarms" line
  int read = 0;
  int missing = 0;  // lines known to be gone without a damaged line to show
  for (qsizetype i = 1; i < lines.size(); ++i) {
    const std::optional<QList<QByteArray>> checked = checkedFields(lines[i]);
    bool good = false;
    if (checked) {
      const QList<QByteArray>& f = *checked;
      if (f[0] == "begin" && f.size() == 5) {
        const auto row = toNumber(f[1]);
        const auto column = toNumber(f[2]);
        const auto acquisition = toNumber(f[3]);
        const auto sheet = unescapeField(f[4]);
        if (row && column && acquisition && sheet) {
          JournalRow started;
          started.sheet = *sheet;
          started.row = static_cast<std::int32_t>(*row);
          started.nextRow = started.row + 1;
          started.nextColumn = static_cast<std::int32_t>(*column);
          started.acquisitionNo = static_cast<std::int32_t>(*acquisition);
          started.ended = false;
          open[started.row] = rows.size();
          rows.push_back(std::move(started));
          seqOf.push_back(0);
          columnsOf.emplace_back();
          good = true;
        }
      } else if (f[0] == "cell" && f.size() == 5) {
        const auto row = toNumber(f[1]);
        const auto column = toNumber(f[2]);
        const auto value = valueOf(f[3], f[4]);
        const auto owner = row ? open.find(static_cast<std::int32_t>(*row)) : open.end();
        // Without its row's start the sheet it belongs on is unknown.
        if (column && value && owner != open.end()) {
          const JournalCell cell{static_cast<std::int32_t>(*row), static_cast<std::int32_t>(*column), *value};
          std::vector<JournalCell>& cells = rows[owner->second].cells;
          if (columnsOf[owner->second].insert(cell.column).second) {
            cells.push_back(cell);
            good = true;
          } else {
            // A row writes each column once: this line is a copy, or damage.
            *std::find_if(cells.begin(), cells.end(), [&](const JournalCell& c) { return c.column == cell.column; }) =
                cell;
          }
        }
      } else if (f[0] == "row" && (f.size() == 7 || f.size() == 8)) {
        const auto seq = toNumber(f[1]);
        const auto row = toNumber(f[2]);
        const auto cells = toNumber(f[3]);
        const auto nextRow = toNumber(f[4]);
        const auto column = toNumber(f[5]);
        const auto acquisition = toNumber(f[6]);
        const auto nextSheet = f.size() == 8 ? unescapeField(f[7]) : std::optional<QString>(QString());
        if (seq && *seq > lastSeq && row && cells && nextRow && column && acquisition && nextSheet) {
          std::size_t index = rows.size();
          if (const auto owner = open.find(static_cast<std::int32_t>(*row)); owner != open.end()) {
            index = owner->second;
            open.erase(owner);
          } else {
            // A row without values, or one whose start was damaged.
            rows.push_back(JournalRow{});
            rows.back().row = static_cast<std::int32_t>(*row);
            seqOf.push_back(0);
            columnsOf.emplace_back();
          }
          JournalRow& ended = rows[index];
          ended.nextRow = static_cast<std::int32_t>(*nextRow);
          ended.nextColumn = static_cast<std::int32_t>(*column);
          ended.acquisitionNo = static_cast<std::int32_t>(*acquisition);
          ended.nextSheet = *nextSheet;
          ended.ended = true;
          seqOf[index] = lastSeq = *seq;
          missing += static_cast<int>(std::abs(*cells - std::ssize(columnsOf[index])));
          good = true;
        }
      } else if (f[0] == "mark" && f.size() == 4) {
        const auto row = toNumber(f[1]);
        const auto column = toNumber(f[2]);
        const auto sheet = unescapeField(f[3]);
        if (row && column && sheet) {
          const JournalMark mark{*sheet, static_cast<std::int32_t>(*row), static_cast<std::int32_t>(*column)};
          if (marked.emplace(mark.sheet, mark.row, mark.column).second) contents.marks.push_back(mark);
          good = true;
        }
      } else if (f[0] == "alarms" && f.size() == 2) {
        if (const auto state = unescapeField(f[1])) {
          contents.alarmState = *state;
          alarmsTook = rows.size();
          good = true;
        }
      } else if (f[0] == "saved" && f.size() == 2) {
        if (const auto rowsSaved = toNumber(f[1]); rowsSaved && *rowsSaved >= 0) {
          savedMark = std::max(savedMark, *rowsSaved);
          good = true;
        }
      } else {
        good = readFileMark(f, contents);
      }
    }
    if (good)
      ++read;
    else
      ++contents.damagedLines;
  }
  // Rows without end: only the last may be one without damage. A start that
  // never got a value holds nothing.
  std::vector<JournalRow> kept;
  for (std::size_t r = 0; r < alarmsTook; ++r) rows[r].alarmsTaken = true;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const bool last = r + 1 == rows.size();
    if (!rows[r].ended && !last) ++missing;
    if (!rows[r].ended && rows[r].cells.empty()) continue;
    rows[r].saved = rows[r].ended && seqOf[r] <= savedMark;
    if (rows[r].ended) contents.lastRowNumber = std::max(contents.lastRowNumber, seqOf[r]);
    kept.push_back(std::move(rows[r]));
  }
  rows = std::move(kept);
  contents.savedMark = savedMark;
  if (contents.damagedLines == 0) contents.damagedLines = missing;
  return read;
}

}  // namespace

Result<JournalContents> parseJournal(const QByteArray& bytes) {
  JournalContents contents;
  contents.version = CurrentVersion;
  const QList<QByteArray> lines = wholeLines(bytes, contents.completeBytes);
  // Nothing whole yet: the file was made and the crash came before its first line.
  if (lines.isEmpty()) return contents;
  if (const QList<QByteArray> header = lines.front().split('\t');
      header.size() == 3 && header[0] == Magic && header[1] == "1") {
    const auto path = unescapeField(header[2]);
    if (!path) return fail(SheetError::NotAJournal, QStringLiteral("取得データの記録ではありません"));
    contents.version = 1;
    contents.workbookPath = *path;
    parseVersion1(lines, contents);
    return contents;
  }
  const std::optional<QList<QByteArray>> header = checkedFields(lines.front());
  std::optional<QString> path;
  if (header && header->size() == 3 && (*header)[0] == Magic && (*header)[1] == Version)
    path = unescapeField((*header)[2]);
  if (path)
    contents.workbookPath = *path;
  else
    ++contents.damagedLines;
  // A damaged header costs only itself: the lines after it check themselves.
  if (parseVersion2(lines, contents) == 0 && !path)
    return fail(SheetError::NotAJournal, QStringLiteral("取得データの記録ではありません"));
  return contents;
}

Result<QByteArray> readJournalFile(const QString& path) {
  LogResult<QByteArray> bytes = readLog(path);
  if (bytes) return std::move(bytes).value();
  if (bytes.error().fault == LogFault::Link) return fail(SheetError::JournalIsLink, MsgJournalIsLink.arg(path));
  return fail(SheetError::JournalUnreadable,
              QStringLiteral("取得データの記録 %1 を読めません: %2").arg(path, bytes.description()));
}

Result<FoundJournal> findJournal(const QString& workbookPath) {
  // Both places hold one only when a journal moved (its disk failed or filled
  // up) and the old one could not be removed: the one that goes further wins.
  FoundJournal found;
  for (const QString& path : {journalPathBeside(workbookPath), journalPathForUser(workbookPath)}) {
    const QFileInfo info(path);
    if (info.isSymLink()) {
      found.refused << MsgJournalIsLink.arg(path);
      continue;
    }
    if (!info.exists()) continue;
    const Result<QByteArray> bytes = readJournalFile(path);
    if (!bytes) return bytes.error();
    Result<JournalContents> contents = parseJournal(*bytes);
    JournalContents read;
    if (contents) {
      read = std::move(contents).value();
    } else {
      // No journal at all: every line of it counts as damaged.
      qsizetype end = 0;
      read.damagedLines = static_cast<int>(std::max<qsizetype>(1, wholeLines(*bytes, end).size()));
    }
    // How far a journal goes: its last row's number (a moved one no longer
    // holds its saved rows), then its rows.
    const auto reach = [](const JournalContents& c) {
      const auto ended = std::count_if(c.rows.begin(), c.rows.end(), [](const JournalRow& r) { return r.ended; });
      return std::pair{std::max<qint64>(c.lastRowNumber, ended), c.rows.size()};
    };
    if (found.path.isEmpty() || reach(read) > reach(found.contents)) {
      const QString behind = found.path;
      found = FoundJournal{path, std::move(read), found.refused, behind};
    } else {
      found.behind = path;
    }
  }
  return found;
}

Result<QString> setJournalAside(const QString& journalPath, const QDateTime& now, JournalAside why) {
  const QString tag = now.toString(why == JournalAside::Orphan    ? QStringLiteral("'.orphan-'yyyyMMdd-HHmmss")
                                   : why == JournalAside::Damaged ? QStringLiteral("'.damaged-'yyyyMMdd-HHmmss")
                                                                  : QStringLiteral("'.unwritten-'yyyyMMdd-HHmmss"));
  const QFileInfo info(journalPath);
  const QByteArray from = QFile::encodeName(journalPath);
  for (int n = 1; n <= 100; ++n) {
    const QString place =
        info.dir().filePath(fitFileName(info.fileName(), n == 1 ? tag : tag + QStringLiteral("-%1").arg(n)));
    const QByteArray to = QFile::encodeName(place);
    // RENAME_NOREPLACE: one set aside in the same second (or a link of that
    // name) stays as it is.
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) {
      syncFolderOf(place);
      return place;
    }
    if (errno != EEXIST)
      return fail(SheetError::JournalNotSetAside,
                  QStringLiteral("取得データの記録 %1 の名前を変えられません: %2").arg(journalPath, errnoText(errno)));
  }
  return fail(SheetError::JournalNotSetAside,
              QStringLiteral("取得データの記録 %1 の名前を変えられません").arg(journalPath));
}

namespace {

// The log's failure in the journal's words.
Error journalFailure(const LogError& e) {
  if (e.fault == LogFault::Link) return fail(SheetError::JournalIsLink, MsgJournalIsLink.arg(e.path));
  const QString text = e.fault == LogFault::Write ? QStringLiteral("取得データの記録 %1 に書き込めません: %2")
                       : e.fault == LogFault::Sync
                           ? QStringLiteral("取得データの記録 %1 をディスクに書き込めません: %2")
                       : e.fault == LogFault::Replace ? QStringLiteral("取得データの記録 %1 を置き換えられません: %2")
                       : e.fault == LogFault::Cut ? QStringLiteral("取得データの記録 %1 を整えられません: %2")
                                                  : QStringLiteral("%1: %2");
  return fail(SheetError::JournalNotWritten, text.arg(e.path, e.description));
}

}  // namespace

JournalWriter::JournalWriter() = default;

JournalWriter::~JournalWriter() { close(); }

Status JournalWriter::open(const QString& workbookPath, const QString& journalPath) {
  if (isOpen()) return {};
  workbookPath_ = workbookPath;
  keptAside_.clear();
  // A journal kept from before (a failed save) is continued where it is.
  QStringList places{journalPathBeside(workbookPath), journalPathForUser(workbookPath)};
  if (!journalPath.isEmpty())
    places = QStringList{journalPath};
  else if (QFile::exists(places[1])) {
    // Both places hold one only when a move could not remove the old one.
    const Result<FoundJournal> found = QFile::exists(places[0]) ? findJournal(workbookPath) : FoundJournal{};
    if (!QFile::exists(places[0]) || (found && found->path == places[1])) places.removeFirst();
  }
  QString reasons;
  for (const QString& place : places) {
    QDir().mkpath(QFileInfo(place).absolutePath());
    const Status opened = openPlace(place);
    if (opened) break;
    reasons += QLatin1Char('\n') + opened.description();
  }
  if (!isOpen()) return fail(SheetError::JournalNotCreated, QStringLiteral("取得データの記録を作れません") + reasons);
  log_.resetCount(rows_);
  failedPlaces_.clear();
  lostReason_.clear();
  movedFrom_.clear();
  rowLines_.clear();
  lastRowLines_.clear();
  alarmLine_.clear();
  savingLine_.clear();
  return {};
}

Status JournalWriter::openPlace(const QString& place) {
  rows_ = 0;
  savedRows_ = 0;
  marks_ = 0;
  savedMarks_ = 0;
  markLines_.clear();
  identity_.reset();
  saving_ = false;
  openRow_.reset();
  const LogResult<QByteArray> bytes = log_.open(place);
  if (!bytes) {
    if (bytes.error().fault == LogFault::Missing) return startFresh(place, JournalContents{});
    return journalFailure(bytes.error());
  }
  const Result<JournalContents> before = parseJournal(*bytes);
  if (before && before->version == CurrentVersion && before->damagedLines == 0 && before->completeBytes > 0) {
    // Rows of an earlier session count too: "saved" marks count from the
    // start. A line cut short by a crash is dropped, so new lines follow
    // whole ones.
    if (before->completeBytes < bytes->size()) {
      if (LogStatus cut = log_.cut(before->completeBytes); !cut) {
        log_.close();
        return journalFailure(cut.error());
      }
    }
    // Rows are numbered from the journal's first; a moved journal may no
    // longer hold the saved ones.
    rows_ = static_cast<int>(before->lastRowNumber);
    savedRows_ = static_cast<int>(std::min(before->savedMark, before->lastRowNumber));
    copy_ = bytes->left(before->completeBytes);
    headerLine_ = copy_.left(copy_.indexOf('\n') + 1);
    for (const JournalMark& mark : before->marks) markLines_ += markLine(mark);
    marks_ = static_cast<int>(before->marks.size());
    if (!before->rows.empty() && !before->rows.back().ended)
      openRow_ = OpenRow{before->rows.back().row, static_cast<int>(before->rows.back().cells.size())};
    identity_ = before->identity;
    saving_ = before->savingSinceMs.has_value();
    path_ = place;
    return {};
  }
  log_.close();
  // Nothing is ever added to a journal of another version or a damaged one,
  // nor is it cut: an earlier version is rewritten in this one, a damaged
  // one kept under another name; what they held goes on in the new file.
  const bool whole = before && before->damagedLines == 0;
  if (whole && before->completeBytes > 0) return startFresh(place, *before);
  if (!whole) {
    const Result<QString> kept = setJournalAside(place, QDateTime::currentDateTime(), JournalAside::Damaged);
    if (!kept) return kept.error();
    keptAside_ = *kept;
  } else if (::unlink(QFile::encodeName(place).constData()) != 0) {
    // Empty: the crash came before its first line.
    return fail(SheetError::JournalNotCreated, QStringLiteral("%1: %2").arg(place, errnoText(errno)));
  }
  return startFresh(place, before ? *before : JournalContents{});
}

Status JournalWriter::startFresh(const QString& place, const JournalContents& carried) {
  headerLine_ = checkedLine({Magic, Version, escapeField(canonical(workbookPath_))});
  QByteArray text = headerLine_;
  // A journal belongs to the file it is written for; without a readable file
  // (or carried rows of a journal that named none) it fits any, as those of
  // the first version do.
  identity_ = carried.identity;
  if (carried.rows.empty())
    if (const Result<WorkbookIdentity> identity = identifyWorkbook(workbookPath_)) identity_ = *identity;
  if (identity_) text += identityLine(*identity_);
  saving_ = carried.rows.empty() ? false : carried.savingSinceMs.has_value();
  if (saving_) text += checkedLine({"saving", number(*carried.savingSinceMs)});
  // The rows carried over, each ended where it stopped; the last without end
  // stays open. The alarms' state follows the last row the alarms had taken,
  // so that the rows after it are still theirs to take.
  alarmLine_ = carried.alarmState.isEmpty() ? QByteArray() : checkedLine({"alarms", escapeField(carried.alarmState)});
  const auto untaken = static_cast<std::size_t>(
      std::find_if(carried.rows.begin(), carried.rows.end(), [](const JournalRow& row) { return !row.alarmsTaken; }) -
      carried.rows.begin());
  bool leadingSaved = true;
  for (std::size_t r = 0; r < carried.rows.size(); ++r) {
    const JournalRow& row = carried.rows[r];
    if (r == untaken) text += alarmLine_;
    if (!row.cells.empty())
      text += checkedLine(
          {"begin", number(row.row), number(row.nextColumn), number(row.acquisitionNo), escapeField(row.sheet)});
    for (const JournalCell& cell : row.cells)
      text += checkedLine({"cell", number(cell.row), number(cell.column), valueFields(cell.value)});
    if (!row.ended && r + 1 == carried.rows.size()) {
      openRow_ = OpenRow{row.row, static_cast<int>(row.cells.size())};
      break;
    }
    ++rows_;
    text += rowLine(rows_, row.row, static_cast<int>(row.cells.size()), row.nextRow, row.nextColumn, row.acquisitionNo,
                    row.nextSheet);
    leadingSaved = leadingSaved && row.saved;
    if (leadingSaved) savedRows_ = rows_;
  }
  for (const JournalMark& mark : carried.marks) markLines_ += markLine(mark);
  marks_ = static_cast<int>(carried.marks.size());
  text += markLines_;
  if (untaken == carried.rows.size()) text += alarmLine_;
  if (savedRows_ > 0) text += checkedLine({"saved", number(savedRows_)});
  // Written whole beside its place and renamed over whatever is there.
  if (LogStatus written = log_.replace(place, text); !written) return journalFailure(written.error());
  path_ = place;
  copy_ = text;
  return {};
}

Status JournalWriter::beginSave(qint64 nowMs) {
  const QByteArray saving = checkedLine({"saving", number(nowMs)});
  Status begun = append(saving);
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
  Status ended = append(identityLine(*now));
  if (ended) {
    identity_ = now;
    saving_ = false;
  }
  return ended;
}

void JournalWriter::beginSheet(const QString& sheet) { sheet_ = sheet; }

Status JournalWriter::cell(const RowStart& start, std::int32_t column, const CellValue& value) {
  QByteArray lines;
  const bool begins = !openRow_ || openRow_->row != start.row;
  if (begins)
    lines += checkedLine(
        {"begin", number(start.row), number(start.nextColumn), number(start.numberAfter), escapeField(sheet_)});
  lines += checkedLine({"cell", number(start.row), number(column), valueFields(value)});
  const Status written = append(lines, Part::Values);
  if (!written) return written;
  if (begins) openRow_ = OpenRow{start.row, 0};
  ++openRow_->cells;
  return written;
}

Status JournalWriter::endRow(std::int32_t nextRow, std::int32_t nextColumn, std::int32_t acquisitionNo,
                             const QString& nextSheet) {
  // A row without values has no begin line; its row line names the row above the cursor.
  const std::int32_t row = openRow_ ? openRow_->row : nextRow - 1;
  const int cells = openRow_ ? openRow_->cells : 0;
  const Status written =
      append(rowLine(rows_ + 1, row, cells, nextRow, nextColumn, acquisitionNo, nextSheet), Part::RowEnd);
  if (written) {
    ++rows_;
    openRow_.reset();
  }
  return written;
}

Status JournalWriter::mark(std::int32_t row, std::int32_t column, const QString& sheet) {
  const Status written = append(markLine(JournalMark{sheet.isEmpty() ? sheet_ : sheet, row, column}), Part::CellMark);
  if (written) ++marks_;
  return written;
}

Status JournalWriter::alarmState(const QString& state) {
  return append(checkedLine({"alarms", escapeField(state)}), Part::AlarmState);
}

Status JournalWriter::markSaved(int rows, int marks) {
  Status marked = append(checkedLine({"saved", number(rows)}));
  if (!marked) return marked;
  savedRows_ = std::max(savedRows_, rows);
  savedMarks_ = std::max(savedMarks_, marks);
  // Every row is in the saved workbook: the copy keeps only the last one,
  // whose row line holds the cursor, so that it stays small over a long run.
  // Marks are few and a save may have begun before one: they all stay.
  if (savedRows_ >= rows_ && !openRow_ && !lastRowLines_.isEmpty())
    copy_ = headerLine_ + (identity_ ? identityLine(*identity_) : QByteArray()) +
            (saving_ ? savingLine_ : QByteArray()) + markLines_ + lastRowLines_ + alarmLine_ +
            checkedLine({"saved", number(rows_)});
  return marked;
}

Status JournalWriter::append(const QByteArray& bytes, Part part) {
  if (!lostReason_.isEmpty()) return fail(SheetError::JournalNotWritten, lostReason_);
  if (!isOpen()) return fail(SheetError::JournalNotOpen, QStringLiteral("取得データの記録が開いていません"));
  // Rows counted once these lines are on the disk.
  const qint64 rows = part == Part::RowEnd ? rows_ + 1 : rows_;
  if (held_) {
    heldBytes_ += bytes;
    heldRows_ = rows;
  } else if (LogStatus written = log_.append(bytes, rows); !written) {
    // A sync that failed since the last append lost what it covered, from
    // the file's own point of view; a write that failed means a disk full,
    // gone read-only or failing. Either way the journal moves, with every
    // whole line it held, and the lines go there.
    if (Status moved = moveAway(journalFailure(written.error())); !moved) return moved;
    if (LogStatus again = log_.append(bytes, rows); !again) return lose(journalFailure(again.error()));
  }
  copy_ += bytes;
  if (part == Part::Values) rowLines_ += bytes;
  if (part == Part::CellMark) markLines_ += bytes;
  if (part == Part::AlarmState) alarmLine_ = bytes;
  if (part == Part::RowEnd) {
    lastRowLines_ = rowLines_ + bytes;
    rowLines_.clear();
  }
  return {};
}

Status JournalWriter::release() {
  held_ = false;
  if (heldBytes_.isEmpty()) return {};
  const QByteArray bytes = std::exchange(heldBytes_, {});
  if (!lostReason_.isEmpty()) return fail(SheetError::JournalNotWritten, lostReason_);
  if (!isOpen()) return fail(SheetError::JournalNotOpen, QStringLiteral("取得データの記録が開いていません"));
  if (LogStatus written = log_.append(bytes, heldRows_); !written) {
    // The copy in memory holds the lines already: the move writes them with
    // the rest, and the rows they end count once they are on the disk.
    if (Status moved = moveAway(journalFailure(written.error())); !moved) return moved;
    if (LogStatus counted = log_.append({}, heldRows_); !counted) return lose(journalFailure(counted.error()));
  }
  return {};
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
      return lose(fail(SheetError::JournalNotWritten, why.description() + QLatin1Char('\n') + moved.description()));
    }
  }
  return lose(why);
}

Status JournalWriter::lose(const Status& why) {
  // Nowhere left to write: the journal holds what reached it before, and no
  // caller is told that later rows are kept.
  lostReason_ = why.description();
  log_.close();
  return why;
}

Status JournalWriter::moveTo(const QString& place) {
  const QString old = path_;
  // The copy in memory, not the old file: on a failing disk it may not read
  // back, and a failed write may have left part of a line in it.
  if (LogStatus moved = log_.replace(place, copy_); !moved) {
    const Error why = journalFailure(moved.error());
    const bool created = moved.error().fault == LogFault::Open || moved.error().fault == LogFault::Link;
    return created
               ? fail(SheetError::JournalNotCreated, QStringLiteral("取得データの記録を作れません\n") + why.description)
               : why;
  }
  path_ = place;
  // Removing works on a full disk; on a failed one the old journal stays
  // behind, and the next open takes the one that goes further.
  QFile::remove(old);
  return {};
}

int JournalWriter::durableRows() const { return static_cast<int>(log_.durableCount()); }

Status JournalWriter::flush() {
  if (Status released = release(); !released) return released;
  if (!lostReason_.isEmpty()) return fail(SheetError::JournalNotWritten, lostReason_);
  if (!isOpen()) return {};
  if (LogStatus synced = log_.sync(); !synced) return moveAway(journalFailure(synced.error()));
  return {};
}

void JournalWriter::close() {
  // Lines held for one write still go to the file they were appended to.
  if (held_ && isOpen()) static_cast<void>(release());  // a failure shows at the next open
  held_ = false;
  heldBytes_.clear();
  log_.close();
  openRow_.reset();
}

Status JournalWriter::retire() {
  const QString path = path_;
  close();
  path_.clear();
  if (path.isEmpty() || !QFile::exists(path)) return {};
  if (!QFile::remove(path))
    return fail(SheetError::JournalNotRemoved, QStringLiteral("取得データの記録 %1 を消せません").arg(path));
  return {};
}

}  // namespace kestrune::sheet
