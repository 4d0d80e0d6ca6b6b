// `kestrune config`: the settings of setup.dat and ports.conf as key=value
// lines, and setting them from KEY=VALUE arguments under the panels' rules,
// for machines without a desktop (a lab's logging service).
#pragma once

#include "app/config_keys.h"
#include "settings/settings_folder.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace kestrune::app {

// Exit statuses of `kestrune config`.
enum ConfigExit : int {
  ConfigDone = 0,      // listed; or set, saved and listed
  ConfigNotSaved = 1,  // a settings file could not be written; the files are as they were
  ConfigRefused = 2,   // an argument was refused, or setup.dat or ports.conf cannot be used; nothing written
};

// What the command printed: the listing on standard output, messages on
// standard error, and its exit status.
struct ConfigResult {
  int status = ConfigDone;
  QString out;
  QString err;
};

// Lists the settings of `folder`; with `assignments` ("key=value"), checks
// every one of them first, then sets them, saves (setup.dat with saveSetup,
// ports.conf with the port map's save) and lists the files as saved. With
// `workbook`, the alarm.* keys of its section of kestrune.conf are listed and
// may be set, checked together as the section would hold them.
ConfigResult runConfig(const settings::SettingsFolder& folder, const QStringList& assignments,
                       const std::optional<QString>& workbook = std::nullopt);

// The command line after "config": [--dir FOLDER] [--workbook PATH] [KEY=VALUE ...] or --help.
// Without --dir the settings folder is the program's, as for the windows.
ConfigResult configCommand(const QStringList& arguments, const QString& programDir);

// configCommand with its output printed; returns the exit status.
int configMain(const QStringList& arguments, const QString& programDir);

}  // namespace kestrune::app
