// Which device "Com n" names. ports.conf in the settings folder holds lines
// such as "COM3=/dev/ttyUSB0"; a port without an entry is /dev/ttyS<n-1>.
#pragma once

#include <QString>

#include <map>

namespace kestrune::serial {

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

  // The device path of "Com n".
  QString devicePath(int port) const;
  void set(int port, const QString& device) { entries_[port] = device; }
  // Why the map file could not be used; empty when it could (or was absent).
  const QString& error() const { return error_; }

private:
  std::map<int, QString> entries_;
  QString error_;
};

inline const QString PortMapFileName = QStringLiteral("ports.conf");

}  // namespace kestrune::serial
