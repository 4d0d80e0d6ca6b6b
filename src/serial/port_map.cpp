#include "serial/port_map.h"

#include "serial/port.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QRegularExpression>
#include <QSaveFile>

#include <optional>
#include <set>
#include <utility>

namespace kestrune::serial {

namespace {

const QString MsgNotAFile = QStringLiteral("%1 はファイルではありません（フォルダーまたは特殊ファイル）。");
const QString MsgCannotRead = QStringLiteral("%1 を読み込めません（%2）。");
const QString MsgNoFolder = QStringLiteral("%1 のフォルダーを作れません。");
const QString MsgCannotWrite = QStringLiteral("%1 に書き込めません（%2）。");
const QString MsgBadDevice = QStringLiteral("デバイスのパス「%1」は使えません（改行などの制御文字を含んでいます）。");

// The Com number and device of an entry line; none for comments, blank and
// malformed lines. The device may be empty ("COM4=").
std::optional<std::pair<int, QString>> entryOf(const QString& line) {
  static const QRegularExpression entry(QStringLiteral(R"(^\s*COM\s*(\d{1,3})\s*=\s*(.*?)\s*$)"),
                                        QRegularExpression::CaseInsensitiveOption);
  if (line.trimmed().startsWith(QLatin1Char('#'))) return std::nullopt;
  const QRegularExpressionMatch m = entry.match(line);
  if (!m.hasMatch()) return std::nullopt;
  return std::pair{m.captured(1).toInt(), m.captured(2)};
}

// The bytes of the map file at `path`; empty when there is none. Checked
// before opening: reading a named pipe would wait for a writer for ever.
Result<QByteArray> readMapFile(const QString& path) {
  const QFileInfo info(path);
  if (!info.exists()) return QByteArray();
  if (!info.isFile()) return fail(PortError::MapUnreadable, MsgNotAFile.arg(path));
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly))
    return fail(PortError::MapUnreadable, MsgCannotRead.arg(path, file.errorString()));
  return file.readAll();
}

Status writeMapFile(const QString& path, const QByteArray& text) {
  const QFileInfo info(path);
  // QSaveFile would rename its temporary file over a pipe or a device.
  if (info.exists() && !info.isFile()) return fail(PortError::MapNotSaved, MsgNotAFile.arg(path));
  if (!QDir().mkpath(info.absolutePath())) return fail(PortError::MapNotSaved, MsgNoFolder.arg(path));
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly))
    return fail(PortError::MapNotSaved, MsgCannotWrite.arg(path, file.errorString()));
  if (file.write(text) != text.size()) {
    const QString reason = file.errorString();
    file.cancelWriting();
    return fail(PortError::MapNotSaved, MsgCannotWrite.arg(path, reason));
  }
  if (!file.commit()) return fail(PortError::MapNotSaved, MsgCannotWrite.arg(path, file.errorString()));
  return {};
}

QByteArray entryLine(int port, const QString& device) {
  return QStringLiteral("COM%1=%2").arg(port).arg(device).toUtf8();
}

}  // namespace

PortMap PortMap::parse(const QString& text) {
  PortMap map;
  for (const QString& line : text.split(QLatin1Char('\n'))) {
    const auto entry = entryOf(line);
    if (entry && !entry->second.isEmpty()) map.entries_[entry->first] = entry->second;
  }
  return map;
}

PortMap PortMap::load(const QString& path) {
  const Result<QByteArray> text = readMapFile(path);
  if (!text) {
    PortMap refused;
    refused.error_ = text.description();
    return refused;
  }
  return parse(QString::fromUtf8(*text));
}

QByteArray PortMap::withEntries(const QByteArray& text, const std::map<int, QString>& entries) {
  QList<QByteArray> lines = text.split('\n');
  // split() leaves an empty piece after a final newline: it is no line.
  const bool finalNewline = text.endsWith('\n');
  if ((finalNewline || text.isEmpty()) && !lines.isEmpty()) lines.removeLast();
  const QByteArray ending = !lines.isEmpty() && lines.first().endsWith('\r') ? "\r" : "";

  QList<QByteArray> out;
  std::set<int> written;
  for (const QByteArray& line : std::as_const(lines)) {
    const auto entry = entryOf(QString::fromUtf8(line));
    const auto change = entry ? entries.find(entry->first) : entries.end();
    if (change == entries.end()) {
      out << line;
    } else if (!change->second.isEmpty() && written.insert(change->first).second) {
      out << entryLine(change->first, change->second) + (line.endsWith('\r') ? "\r" : "");
    }
  }
  bool added = false;
  for (const auto& [port, device] : entries) {
    if (device.isEmpty() || written.contains(port)) continue;
    out << entryLine(port, device) + ending;
    added = true;
  }
  QByteArray result = out.join('\n');
  if (!out.isEmpty() && (finalNewline || added)) result += '\n';
  return result;
}

Result<PortMap> PortMap::save(const PortMapFile& file, const std::map<int, QString>& entries) {
  for (const auto& [port, device] : entries) {
    for (const QChar c : device)
      if (c.category() == QChar::Other_Control) return fail(PortError::BadDevicePath, MsgBadDevice.arg(device));
  }
  const QString& source = QFileInfo::exists(file.writePath) ? file.writePath : file.readPath;
  const Result<QByteArray> old = readMapFile(source);
  if (!old) return old.error();
  const QByteArray text = withEntries(*old, entries);
  if (const Status written = writeMapFile(file.writePath, text); !written) return written.error();
  return parse(QString::fromUtf8(text));
}

QString PortMap::devicePath(int port) const {
  if (const auto it = entries_.find(port); it != entries_.end()) return it->second;
  return QStringLiteral("/dev/ttyS%1").arg(port - 1);
}

QString PortMap::entry(int port) const {
  const auto it = entries_.find(port);
  return it != entries_.end() ? it->second : QString();
}

}  // namespace kestrune::serial
