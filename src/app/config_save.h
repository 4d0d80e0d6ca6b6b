// Saving what `kestrune config` changed as one transaction over three files:
// kestrune.conf, ports.conf and setup.dat. A file that cannot be written
// gives the ones written before it their old contents back.
#pragma once

#include "app/config_keys.h"
#include "serial/port_map.h"
#include "settings/settings_folder.h"
#include "settings/setup_record.h"

#include <QStringList>

#include <optional>

namespace kestrune::app {

// The settings folder as the program sees it when it starts: setup.dat's
// record as stored (or as a new file starts), the settings the program works
// with (the conditions as stored, the line as far as the port takes it), the
// port map, the broker settings and, when a workbook is named, its section
// of kestrune.conf.
struct Current {
  settings::SetupRecord stored;
  bool fileExists = false;
  settings::Settings settings;
  serial::PortMap map;
  mqtt::MqttSettings mqtt;
  web::WebSettings web;
  RunOptions options;
  std::optional<QString> workbook;
  conf::Values workbookConf;
};

// Writes what `pending` changes against `now`. Returns the messages of a
// failure; none when everything was written.
QStringList saveChanges(const settings::SettingsFolder& folder, const Current& now, const Pending& pending);

}  // namespace kestrune::app
