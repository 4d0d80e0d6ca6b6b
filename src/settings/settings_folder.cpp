#include "settings/settings_folder.h"

#include <QDir>
#include <QFileInfo>

// access() tells writability as the kernel sees it, read-only mounts included.
#include <unistd.h>

namespace kestrune::settings {

SettingsFolder::SettingsFolder(QString programDir, QString userDir, bool programDirWritable)
    : programDir_(std::move(programDir)), userDir_(std::move(userDir)), programDirWritable_(programDirWritable) {}

SettingsFolder SettingsFolder::forProgram(const QString& programDir) {
  const bool writable = ::access(QFile::encodeName(programDir).constData(), W_OK) == 0;
  return SettingsFolder(programDir, userConfigDir(), writable);
}

SettingsFolder SettingsFolder::fixed(const QString& dir) { return SettingsFolder(dir, dir, true); }

QString SettingsFolder::userConfigDir() {
  QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (base.isEmpty() || QDir::isRelativePath(base)) base = QDir::homePath() + QStringLiteral("/.config");
  return base + QStringLiteral("/kestrune");
}

QString SettingsFolder::readPath(const QString& fileName) const {
  if (programDirWritable_) return QDir(programDir_).filePath(fileName);
  const QString user = QDir(userDir_).filePath(fileName);
  if (QFileInfo::exists(user)) return user;
  return QDir(programDir_).filePath(fileName);
}

QString SettingsFolder::writePath(const QString& fileName) const {
  return QDir(programDirWritable_ ? programDir_ : userDir_).filePath(fileName);
}

}  // namespace kestrune::settings
