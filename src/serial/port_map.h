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
  // Reads `path`; a missing or unreadable file gives the empty map.
  static PortMap load(const QString& path);

  // The device path of "Com n".
  QString devicePath(int port) const;
  void set(int port, const QString& device) { entries_[port] = device; }

private:
  std::map<int, QString> entries_;
};

inline const QString PortMapFileName = QStringLiteral("ports.conf");

}  // namespace kestrune::serial
