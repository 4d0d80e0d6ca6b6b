#include "core/shell.h"

#include <QDesktopServices>
#include <QFileInfo>

namespace kestrune {

namespace {

// A scheme is a letter followed by letters, digits, "+", "-" or "."; one
// letter alone is a drive name on Windows paths ("C:"), not a scheme.
bool hasScheme(const QString& text) {
  const qsizetype colon = text.indexOf(QLatin1Char(':'));
  if (colon < 2) return false;
  if (!text.at(0).isLetter() || text.at(0).unicode() > 0x7F) return false;
  for (qsizetype i = 1; i < colon; ++i) {
    const QChar c = text.at(i);
    const bool allowed = (c.unicode() < 0x80 && c.isLetterOrNumber()) || c == QLatin1Char('+') ||
                         c == QLatin1Char('-') || c == QLatin1Char('.');
    if (!allowed) return false;
  }
  return true;
}

}  // namespace

QUrl shellUrl(const QString& fileOrUrl) {
  if (fileOrUrl.isEmpty()) return {};
  if (hasScheme(fileOrUrl)) return QUrl(fileOrUrl, QUrl::TolerantMode);
  return QUrl::fromLocalFile(QFileInfo(fileOrUrl).absoluteFilePath());
}

Status DesktopShell::open(const QString& fileOrUrl) {
  const QUrl url = shellUrl(fileOrUrl);
  if (!url.isValid()) return fail(ShellError::NoAddress, QStringLiteral("開けません: ") + fileOrUrl);
  if (!QDesktopServices::openUrl(url))
    return fail(ShellError::NotOpened, QStringLiteral("デスクトップが開けませんでした: ") + url.toString());
  return Status::success();
}

Shell& desktopShell() {
  static DesktopShell shell;
  return shell;
}

}  // namespace kestrune
