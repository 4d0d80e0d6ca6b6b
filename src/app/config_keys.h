// The keys of `kestrune config`: what each accepts and the change it makes.
// The ranges and choices are the settings model's (settings_model.h), the
// same the panels keep to.
#pragma once

#include "core/conf_text.h"
#include "mqtt/mqtt_settings.h"
#include "settings/settings_model.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <variant>
#include <vector>

namespace kestrune::app {

// What the assignments change, applied in turn to a copy of the settings.
struct Pending {
  settings::Settings settings;
  // A line value was given: slot 0 is written, even where the stored slot
  // was refused and the program uses the same values.
  bool lineGiven = false;
  std::optional<QString> device;  // the ports.conf entry of the line's port
  mqtt::MqttSettings mqtt;
  // alarm.* keys to set in the workbook's section (an empty value removes one).
  conf::Values alarms = {};
};
using Change = std::function<void(Pending&)>;

// The keys in listing order.
QStringList configKeys();

// The names the stamp modes and flow controls are given, by code.
QString stampName(settings::StampMode mode);
QString flowName(serial::FlowControl flow);

// Checks every "key=value"; the changes in argument order, or the messages
// of every one refused. The alarm.* keys belong to a workbook's section and
// are refused when `workbookGiven` is false.
std::variant<std::vector<Change>, QStringList> checkAssignments(const QStringList& assignments,
                                                                bool workbookGiven = false);

}  // namespace kestrune::app
