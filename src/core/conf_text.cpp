#include "core/conf_text.h"

#include "core/plain_file.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QSet>

#include <algorithm>
#include <cstring>

namespace kestrune::conf {

namespace {

const QString MsgControlCharacter = QStringLiteral(
    "%1 の値に制御文字（改行、タブなど）が含まれています。値は 1 行の、制御文字を含まない文字列にしてください");
const QString MsgBadKey = QStringLiteral(
    "設定名「%1」は使えません（空でなく、= を含まず、# や [ で始まらず、前後に空白のない名前にしてください）");
const QString MsgBadValue = QStringLiteral("%1 の値の前後に空白があります。前後の空白は保存できません");
const QString MsgNoWorkbook = QStringLiteral("ブックが指定されていません");
const QString MsgPathControlCharacter =
    QStringLiteral("ブックのパス %1 に制御文字（改行、タブなど）が含まれているため、その設定を保存できません");
const QString MsgCannotRead = QStringLiteral("%1 を読めません：%2");
const QString MsgCannotWrite = QStringLiteral("%1 に保存できませんでした：%2");
const QString MsgNotFile = QStringLiteral("通常のファイルではありません（フォルダー、名前付きパイプやデバイスなど）");
const QString MsgTooLarge = QStringLiteral("大きすぎます（%1 バイトまで）");
// kestrune.conf holds short lines: the global settings and a few per workbook.
constexpr qint64 MostConfBytes = 1024 * 1024;

struct Line {
  enum Kind { Blank, Comment, Header, Entry, Other };
  Kind kind = Other;
  QString name;  // a section's name, or an entry's key
  QString value;
};

Line parseLine(const QByteArray& raw) {
  const QString line = QString::fromUtf8(raw).trimmed();
  if (line.isEmpty()) return {Line::Blank, {}, {}};
  if (line.startsWith(QChar('#'))) return {Line::Comment, {}, {}};
  if (line.size() >= 2 && line.startsWith(QChar('[')) && line.endsWith(QChar(']')))
    return {Line::Header, line.mid(1, line.size() - 2), {}};
  const qsizetype eq = line.indexOf(QChar('='));
  if (eq <= 0) return {Line::Other, {}, {}};
  return {Line::Entry, line.left(eq).trimmed(), line.mid(eq + 1).trimmed()};
}

// The text's lines without their line feeds (a carriage return stays).
QList<QByteArray> splitLines(const QByteArray& text) {
  QList<QByteArray> lines = text.split('\n');
  if (lines.last().isEmpty()) lines.removeLast();  // after the final line feed, or an empty text
  return lines;
}

// Each line parsed, with whether it belongs to `part`.
struct ParsedText {
  QList<QByteArray> raw;
  QList<Line> lines;
  QList<bool> inPart;
};

ParsedText parseText(const QByteArray& text, const Part& part) {
  ParsedText parsed{splitLines(text), {}, {}};
  bool inPart = !part.has_value();
  for (const QByteArray& raw : parsed.raw) {
    const Line line = parseLine(raw);
    if (line.kind == Line::Header) inPart = part.has_value() && line.name == *part;
    parsed.lines << line;
    parsed.inPart << inPart;
  }
  return parsed;
}

QByteArray entryLine(const QString& key, const QString& value) {
  return (key + QChar('=') + value + QChar('\n')).toUtf8();
}

// Where new keys go in the part's first stretch of lines: after its last
// key=value line, else after its last line that is not blank (its section
// line, or a comment), else at its start. nullopt: the part has no lines and
// is a section, which then goes at the end.
std::optional<qsizetype> insertionPoint(const ParsedText& parsed, const Part& part) {
  const qsizetype count = parsed.lines.size();
  qsizetype start = 0;
  if (part) {
    while (start < count && !(parsed.lines[start].kind == Line::Header && parsed.inPart[start])) ++start;
    if (start == count) return std::nullopt;
  }
  qsizetype lastEntry = -1;
  qsizetype lastNonBlank = -1;
  for (qsizetype i = start; i < count && parsed.inPart[i]; ++i) {
    if (parsed.lines[i].kind == Line::Entry) lastEntry = i;
    if (parsed.lines[i].kind != Line::Blank) lastNonBlank = i;
  }
  if (lastEntry >= 0) return lastEntry + 1;
  if (lastNonBlank >= 0) return lastNonBlank + 1;
  return start;
}

}  // namespace

bool hasControlCharacter(const QString& text) {
  return std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

QString controlCharacterMessage(const QString& key) { return MsgControlCharacter.arg(key); }

Values partValues(const QByteArray& text, const Part& part) {
  const ParsedText parsed = parseText(text, part);
  Values values;
  for (qsizetype i = 0; i < parsed.lines.size(); ++i) {
    const Line& line = parsed.lines[i];
    // A value is one line of plain characters; a stray carriage return or
    // other control character inside it makes it no value of ours.
    if (parsed.inPart[i] && line.kind == Line::Entry && !hasControlCharacter(line.name) &&
        !hasControlCharacter(line.value))
      values.insert(line.name, line.value);
  }
  return values;
}

QByteArray updatedPart(const QByteArray& text, const Part& part, const Changes& changes) {
  const ParsedText parsed = parseText(text, part);
  QHash<QString, QString> wanted;
  for (const auto& [key, value] : changes) wanted.insert(key, value);
  QSet<QString> written;
  QByteArray out;
  const auto writeNew = [&](QByteArray& into) {
    for (const auto& change : changes) {
      const QString value = wanted.value(change.first);
      if (value.isEmpty() || written.contains(change.first)) continue;
      into += entryLine(change.first, value);
      written.insert(change.first);
    }
  };
  const std::optional<qsizetype> insertAt = insertionPoint(parsed, part);
  for (qsizetype i = 0; i < parsed.lines.size(); ++i) {
    if (insertAt == i) writeNew(out);
    const Line& line = parsed.lines[i];
    if (!parsed.inPart[i] || line.kind != Line::Entry || !wanted.contains(line.name)) {
      out += parsed.raw[i] + '\n';
      continue;
    }
    const QString value = wanted.value(line.name);
    if (value.isEmpty() || written.contains(line.name)) continue;
    out += entryLine(line.name, value);
    written.insert(line.name);
  }
  if (insertAt == parsed.lines.size()) writeNew(out);
  if (insertAt) return out;
  QByteArray section;
  writeNew(section);
  if (section.isEmpty()) return out;
  // A new section at the end, set off from what comes before by a blank line.
  if (!out.isEmpty() && !out.endsWith("\n\n")) out += '\n';
  return out + (QChar('[') + *part + QStringLiteral("]\n")).toUtf8() + section;
}

Status checkChanges(const Changes& changes) {
  for (const auto& [key, value] : changes) {
    if (hasControlCharacter(key) || hasControlCharacter(value))
      return fail(ConfError::ControlCharacter, controlCharacterMessage(key));
    if (key.isEmpty() || key != key.trimmed() || key.contains(QChar('=')) || key.startsWith(QChar('#')) ||
        key.startsWith(QChar('[')))
      return fail(ConfError::BadKey, MsgBadKey.arg(key));
    if (value != value.trimmed()) return fail(ConfError::BadValue, MsgBadValue.arg(key));
  }
  return {};
}

Result<QByteArray> readConfText(const QString& path) {
  const PlainFile file = readPlainFile(path, MostConfBytes, Links::Follow);
  switch (file.state) {
    case PlainFileState::Read:
      return file.bytes;
    case PlainFileState::Missing:
      return QByteArray();
    case PlainFileState::Unreadable:
      return fail(ConfError::Unreadable,
                  MsgCannotRead.arg(path, QString::fromLocal8Bit(std::strerror(file.errorNumber))));
    case PlainFileState::TooLarge:
      return fail(ConfError::Unreadable, MsgCannotRead.arg(path, MsgTooLarge.arg(MostConfBytes)));
    case PlainFileState::Link:
    case PlainFileState::NotRegular:
      break;
  }
  return fail(ConfError::Unreadable, MsgCannotRead.arg(path, MsgNotFile));
}

Status writeConfText(const QString& path, const QByteArray& text) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return fail(ConfError::NotSaved, MsgCannotWrite.arg(path, file.errorString()));
  file.write(text);
  if (!file.commit()) return fail(ConfError::NotSaved, MsgCannotWrite.arg(path, file.errorString()));
  return {};
}

QString workbookSection(const QString& workbookPath) {
  return QDir::cleanPath(QFileInfo(workbookPath).absoluteFilePath());
}

Result<Values> readWorkbookConf(const QString& confPath, const QString& workbookPath) {
  if (workbookPath.isEmpty()) return fail(ConfError::NoWorkbook, MsgNoWorkbook);
  const QString section = workbookSection(workbookPath);
  const Result<QByteArray> text = readConfText(confPath);
  if (!text) return text.error();
  // No section line can name such a path, so it has no settings.
  if (hasControlCharacter(section)) return Values();
  return partValues(*text, section);
}

Status writeWorkbookConf(const QString& readPath, const QString& writePath, const QString& workbookPath,
                         const Values& values) {
  if (workbookPath.isEmpty()) return fail(ConfError::NoWorkbook, MsgNoWorkbook);
  const QString section = workbookSection(workbookPath);
  if (hasControlCharacter(section)) return fail(ConfError::ControlCharacter, MsgPathControlCharacter.arg(section));
  Changes changes;
  for (auto it = values.begin(); it != values.end(); ++it) changes.append({it.key(), it.value()});
  if (Status checked = checkChanges(changes); !checked) return checked;
  const Result<QByteArray> text = readConfText(readPath);
  if (!text) return text.error();
  const QByteArray updated = updatedPart(*text, section, changes);
  if (updated == *text && readPath == writePath) return {};
  return writeConfText(writePath, updated);
}

}  // namespace kestrune::conf
