// The keys of `kestrune config`: what each accepts and the change it makes.
// The ranges and choices are the settings model's (settings_model.h), the
// same the panels keep to.
#pragma once

#include "core/conf_text.h"
#include "core/run_options.h"
#include "mqtt/mqtt_settings.h"
#include "web/web_settings.h"
#include "settings/settings_model.h"

#include <QString>
#include <QStringList>

#include <array>

#include <functional>
#include <optional>
#include <variant>
#include <vector>

namespace kestrune::app {

// What the assignments change, applied in turn to a copy of the settings.
// The arrays are by channel.
struct Pending {
  settings::Settings settings;
  // A line value was given: the channel's slot is written, even where the
  // stored slot was refused and the program uses the same values.
  std::array<bool, serial::ChannelCount> lineGiven{};
  // The ports.conf entry of the channel's port.
  std::array<std::optional<QString>, serial::ChannelCount> devices;
  // A value was given that only a channel with a port can use (line, flow, device).
  std::array<bool, serial::ChannelCount> needsPort{};
  mqtt::MqttSettings mqtt;
  web::WebSettings web;
  RunOptions options;
  // alarm.* keys to set in the workbook's section (an empty value removes one).
  conf::Values alarms = {};
};
using Change = std::function<void(Pending&)>;

// The keys of channel 1 and the others in listing order. port, line, flow
// and device are channel 1's; port.N, line.N, flow.N and device.N (N = 2 to
// 8) another channel's, listed after these when the channel has a port;
// port.1 and the like name channel 1's keys.
QStringList configKeys();
// The keys of `channel` (0 to 7) in listing order: port, line, flow, device.
QStringList channelKeys(int channel);

// The names the stamp modes and flow controls are given, by code.
QString stampName(settings::StampMode mode);
QString flowName(serial::FlowControl flow);

// Checks every "key=value"; the changes in argument order, or the messages
// of every one refused. The alarm.* keys belong to a workbook's section and
// are refused when `workbookGiven` is false.
std::variant<std::vector<Change>, QStringList> checkAssignments(const QStringList& assignments,
                                                                bool workbookGiven = false);

// What the changes ask that their values cannot give: a channel without a
// port given a line, flow control or device, or one port given two devices.
QStringList conflicts(const Pending& pending);

}  // namespace kestrune::app
