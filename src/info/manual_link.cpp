#include "info/manual_link.h"

#include <QFileInfo>
#include <QUrl>

namespace kestrune::info {

QString manualPath(const QString& programDir) {
  QString dir = programDir;
  while (dir.size() > 1 && dir.endsWith(QLatin1Char('/'))) dir.chop(1);
  if (dir == QLatin1String("/")) dir.clear();
  return dir + QLatin1Char('/') + ManualRelativePath;
}

QString productPageAddress(const QString& programDir) { return QUrl::fromLocalFile(manualPath(programDir)).toString(); }

Status MenuDoc_Click(Shell& shell, const QString& programDir) {
  const QString path = manualPath(programDir);
  if (!QFileInfo(path).isFile())
    return fail(InfoError::ManualMissing, QStringLiteral("マニュアルのファイルがありません: ") + path);
  if (const Status opened = shell.open(path); !opened)
    return fail(InfoError::ManualNotShown, QStringLiteral("ブラウザーで次のファイルを開いて下さい: ") + path +
                                               QStringLiteral("\n（") + opened.description() + QStringLiteral("）"));
  return {};
}

}  // namespace kestrune::info
