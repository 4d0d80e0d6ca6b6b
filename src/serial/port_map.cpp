#include "serial/port_map.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

namespace kestrune::serial {

PortMap PortMap::parse(const QString& text) {
  static const QRegularExpression line(QStringLiteral(R"(^\s*COM\s*(\d{1,3})\s*=\s*(.*?)\s*$)"),
                                       QRegularExpression::CaseInsensitiveOption);
  PortMap map;
  for (const QString& raw : text.split(QLatin1Char('\n'))) {
    const QString trimmed = raw.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#'))) continue;
    const QRegularExpressionMatch m = line.match(raw);
    if (!m.hasMatch() || m.captured(2).isEmpty()) continue;
    map.entries_[m.captured(1).toInt()] = m.captured(2);
  }
  return map;
}

PortMap PortMap::load(const QString& path) {
  const QFileInfo info(path);
  if (!info.exists()) return {};
  PortMap refused;
  // Checked before opening: reading a named pipe would wait for a writer for ever.
  if (!info.isFile()) {
    refused.error_ = QStringLiteral("%1 はファイルではありません（フォルダーまたは特殊ファイル）。").arg(path);
    return refused;
  }
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    refused.error_ = QStringLiteral("%1 を読み込めません（%2）。").arg(path, file.errorString());
    return refused;
  }
  return parse(QString::fromUtf8(file.readAll()));
}

QString PortMap::devicePath(int port) const {
  if (const auto it = entries_.find(port); it != entries_.end()) return it->second;
  return QStringLiteral("/dev/ttyS%1").arg(port - 1);
}

}  // namespace kestrune::serial
