#include "info/manual_link.h"

#include <QUrl>

namespace kestrune::info {

QString manualPath(const QString& programDir) {
  QString dir = programDir;
  while (dir.size() > 1 && dir.endsWith(QLatin1Char('/'))) dir.chop(1);
  if (dir == QLatin1String("/")) dir.clear();
  return dir + QLatin1Char('/') + ManualRelativePath;
}

QString productPageAddress(const QString& programDir) { return QUrl::fromLocalFile(manualPath(programDir)).toString(); }

void MenuDoc_Click(Shell& shell, const QString& programDir) {
  // The desktop reports a missing or unopenable manual itself.
  [[maybe_unused]] const Status ignored = shell.open(manualPath(programDir));
}

}  // namespace kestrune::info
