// Which device "Com n" names. ports.conf in the settings folder holds lines
// such as "COM3=/dev/ttyUSB0"; a port without an entry is /dev/ttyS<n-1>.
#pragma once

#include "core/result.h"

#include <QByteArray>
#include <QString>

#include <map>

namespace kestrune::serial {

// Where ports.conf is read and where it is written; the settings folder may
// read a file in one folder and write the user's copy in another.
struct PortMapFile {
  QString readPath;
  QString writePath;
};

class PortMap {
public:
  PortMap() = default;
  // Reads the map from text: one "COMn=path" per line, case-insensitive
  // "COM", blanks around either side allowed; empty lines and lines starting
  // with '#' are skipped, and so are malformed lines.
  static PortMap parse(const QString& text);
  // Reads `path`; a missing file gives the empty map. A path that is not a
  // regular file (a folder, a named pipe) or cannot be read gives a map that
  // names no device and carries the reason in error(): falling back to the
  // default devices would send the instrument's commands to the wrong line.
  static PortMap load(const QString& path);

  // The text of a map file with `entries` put in (an empty device means "no
  // entry", the default device). The first line of each number is replaced in
  // place and its later lines are dropped, as they would override it; a
  // number without a line gets one at the end. Every other line (comments,
  // blank and unreadable lines) stays byte for byte, and so do line endings.
  static QByteArray withEntries(const QByteArray& text, const std::map<int, QString>& entries);
  // Puts `entries` into the map file atomically: the text is taken from the
  // file to write when it exists (an earlier save made it), else from the file
  // read, and goes to a temporary file that then replaces the file to write.
  // On failure the old file is left as it was and the reason is returned;
  // a folder or special file in the way is refused, never replaced.
  static Result<PortMap> save(const PortMapFile& file, const std::map<int, QString>& entries);

  // The device path of "Com n".
  QString devicePath(int port) const;
  // The device the map names for "Com n"; empty when it names none.
  QString entry(int port) const;
  void set(int port, const QString& device) { entries_[port] = device; }
  // Why the map file could not be used; empty when it could (or was absent).
  const QString& error() const { return error_; }

private:
  std::map<int, QString> entries_;
  QString error_;
};

inline const QString PortMapFileName = QStringLiteral("ports.conf");

}  // namespace kestrune::serial
