#include "core/boot_time.h"

#include <QByteArray>
#include <QFile>

namespace kestrune {

std::optional<qint64> bootSeconds() {
  QFile system(QStringLiteral("/proc/stat"));
  if (!system.open(QIODevice::ReadOnly)) return std::nullopt;
  for (const QByteArray& entry : system.readAll().split('\n'))
    if (entry.startsWith("btime ")) {
      bool number = false;
      const qint64 boot = entry.mid(6).trimmed().toLongLong(&number);
      if (number) return boot;
    }
  return std::nullopt;
}

}  // namespace kestrune
