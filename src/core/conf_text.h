// kestrune.conf, the settings file of key=value lines beside setup.dat. The
// lines before the first section hold the program's own settings (mqtt.*);
// a line [/absolute/path/of/book.xls] starts the section of that workbook,
// whose lines run to the next section line. Blank lines, comments (#) and
// lines this program does not know are kept as they are, in every part.
//
// A section line is the name between the first '[' and the last ']' of the
// line, so a path holding spaces, brackets, '=', '#' or any other character
// needs no quoting; only control characters (a line break above all) cannot
// stand in one line, and a path holding one is refused.
#pragma once

#include "core/result.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <optional>
#include <utility>

namespace kestrune::conf {

enum class ConfError {
  ControlCharacter = 1,  // a key, value or workbook path holds a line break, a tab or another control character
  BadKey,                // a key is empty, holds '=', starts with '#' or '[', or has blanks around it
  BadValue,              // a value has blanks around it (they would be lost when read)
  NoWorkbook,            // no workbook path was given
  Unreadable,            // the file cannot be read, or is no plain file (a folder, a named pipe)
  NotSaved,              // the file could not be written
};
inline ErrorDomain errorDomainOf(ConfError) { return ErrorDomain::Conf; }

// Which part of the text: the global lines before the first section
// (nullopt), or the section of that name.
using Part = std::optional<QString>;
using Values = QMap<QString, QString>;
// Keys to set in the order new lines are added; an empty value removes the key.
using Changes = QList<std::pair<QString, QString>>;

// Whether `text` holds a control character (below U+0020, a tab included, or U+007F).
bool hasControlCharacter(const QString& text);
// What a refused value holding a control character says, naming its key.
QString controlCharacterMessage(const QString& key);

// The key=value lines of one part (every section of that name, should the file
// hold it twice), keys and values with their surrounding blanks cut; a later
// line of a key wins. Values holding a control character are skipped.
Values partValues(const QByteArray& text, const Part& part);

// `text` with `changes` made in one part: a key's first line there is
// rewritten in place and its other lines dropped; a key that is new goes after
// the part's last key=value line; a missing section is added at the end of the
// text. Every other line stays byte for byte. The caller has checked keys and
// values (checkChanges).
QByteArray updatedPart(const QByteArray& text, const Part& part, const Changes& changes);

// Refuses a key or a value updatedPart could not store so that it reads back the same.
Status checkChanges(const Changes& changes);

// The file's text: empty when there is none. A folder, a named pipe, a device
// or a file too large for a settings file is refused (Unreadable).
Result<QByteArray> readConfText(const QString& path);
// Writes `text` through a new file in the same folder and a rename, so the file
// is the old or the new one, never a part of it.
Status writeConfText(const QString& path, const QByteArray& text);

// A workbook's section name: its absolute path, cleaned (no "." or "..", no
// doubled '/'). Symbolic links are not resolved: the settings follow the name
// the workbook is opened by, which stays the same when a link is pointed
// elsewhere and needs no file to be there.
QString workbookSection(const QString& workbookPath);

// The settings of one workbook; a missing file or section is empty settings.
Result<Values> readWorkbookConf(const QString& confPath, const QString& workbookPath);
// Sets the keys of `values` in the workbook's section (an empty value removes
// the key), keeping its other keys and the rest of the file read at
// `readPath`, and writes the whole to `writePath` (the settings folder may
// read one file and write another). Refuses, writing
// nothing, a key or value that cannot be stored and a path holding a control
// character.
Status writeWorkbookConf(const QString& readPath, const QString& writePath, const QString& workbookPath,
                         const Values& values);
// The same, read from and written to one file.
inline Status writeWorkbookConf(const QString& confPath, const QString& workbookPath, const Values& values) {
  return writeWorkbookConf(confPath, confPath, workbookPath, values);
}

}  // namespace kestrune::conf
