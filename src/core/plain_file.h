// Reading small files that somebody else may have put in our way: a
// symbolic link, a named pipe or a device where a short text file belongs,
// or a file far larger than one can be. Such a file is never followed,
// waited on or read without end; the caller learns what it found.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace kestrune {

enum class PlainFileState {
  Read,        // a regular file, read whole
  Missing,     // nothing at the path
  Link,        // a symbolic link, and links were refused
  NotRegular,  // a named pipe, a device, a folder or a socket
  TooLarge,    // a regular file longer than the limit
  Unreadable,  // it exists but could not be opened or read (errorNumber)
};

enum class Links { Follow, Refuse };

struct PlainFile {
  PlainFileState state = PlainFileState::Missing;
  QByteArray bytes;          // when Read
  unsigned permissions = 0;  // the mode's permission bits, when Read or TooLarge
  QDateTime modified;        // when Read or TooLarge
  int errorNumber = 0;       // when Unreadable
  // Which file it was, when Read or TooLarge: another file put in its place
  // has other numbers even when it holds the same bytes.
  quint64 device = 0;
  quint64 inode = 0;
};

// Opens without waiting (a named pipe without a writer would hold us),
// without following a final symbolic link when `links` refuses them, and
// reads at most `maxBytes`.
PlainFile readPlainFile(const QString& path, qint64 maxBytes, Links links);

// Makes a folder's entries (a file created or renamed in it) durable.
bool syncFolder(const QString& folder);

}  // namespace kestrune
