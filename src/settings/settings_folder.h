// Where setup.dat and ports.conf live. The program's folder when it is
// writable, as a portable install keeps everything beside the program; else
// the per-user folder $XDG_CONFIG_HOME/kestrune (~/.config/kestrune), which is
// then also read first, so an install in a read-only folder keeps per-user
// settings.
#pragma once

#include <QString>

namespace kestrune::settings {

class SettingsFolder {
public:
  SettingsFolder(QString programDir, QString userDir, bool programDirWritable);

  // The folder for a program installed in `programDir`, with the user folder
  // taken from the environment and the writability checked on the file system.
  static SettingsFolder forProgram(const QString& programDir);
  // One folder for reading and writing, as the headless runner's --dir names it.
  static SettingsFolder fixed(const QString& dir);
  // $XDG_CONFIG_HOME/kestrune, or ~/.config/kestrune when it is unset or empty.
  static QString userConfigDir();

  // The file to read: in the program folder when it is writable; otherwise
  // the user folder's file when there is one, else the program folder's.
  QString readPath(const QString& fileName) const;
  // The file to write; its folder may still have to be created.
  QString writePath(const QString& fileName) const;

private:
  QString programDir_;
  QString userDir_;
  bool programDirWritable_;
};

}  // namespace kestrune::settings
