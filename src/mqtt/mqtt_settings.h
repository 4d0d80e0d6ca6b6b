// The broker settings of kestrune.conf, a key=value text file in the settings
// folder beside setup.dat: mqtt.url, mqtt.topic, mqtt.user,
// mqtt.password-file and mqtt.ca-file. Publishing is off while mqtt.url is
// empty. Lines this program does not know are kept as they are.
#pragma once

#include "core/conf_text.h"
#include "core/result.h"
#include "mqtt/mqtt_error.h"

#include <QString>
#include <QStringList>

#include <cstdint>

namespace kestrune::mqtt {

inline const QString ConfFileName = QStringLiteral("kestrune.conf");
inline const QString OutboxFileName = QStringLiteral("mqtt-outbox");
inline const QString DefaultTopic = QStringLiteral("kestrune/{host}/{workbook}");

inline const QString KeyUrl = QStringLiteral("mqtt.url");
inline const QString KeyTopic = QStringLiteral("mqtt.topic");
inline const QString KeyUser = QStringLiteral("mqtt.user");
inline const QString KeyPasswordFile = QStringLiteral("mqtt.password-file");
inline const QString KeyCaFile = QStringLiteral("mqtt.ca-file");

struct MqttSettings {
  QString url;
  QString topic;  // empty: DefaultTopic
  QString user;
  QString passwordFile;
  QString caFile;

  bool enabled() const { return !url.isEmpty(); }
  QString topicOrDefault() const { return topic.isEmpty() ? DefaultTopic : topic; }
  friend bool operator==(const MqttSettings&, const MqttSettings&) = default;
};

// The keys in listing order.
QStringList settingKeys();

// Where a broker URL points: mqtt://host[:port] (1883) or mqtts://host[:port] (8883).
struct BrokerAddress {
  bool tls = false;
  QString host;
  std::uint16_t port = 1883;
  friend bool operator==(const BrokerAddress&, const BrokerAddress&) = default;
};
Result<BrokerAddress> parseBrokerUrl(const QString& url);

// Settings files keep one value per line, so no value may hold a control character.
using conf::hasControlCharacter;
// Refuses a value for `key` holding a control character, naming the key.
Status checkNoControlCharacter(const QString& key, const QString& value);

// Checks one value for `key` (an empty value clears the setting); files must exist.
Status checkSetting(const QString& key, const QString& value);

QString settingValue(const MqttSettings& settings, const QString& key);
void setSettingValue(MqttSettings& settings, const QString& key, const QString& value);

// Sets `key` to `value` under every rule the dialog and `kestrune config`
// share: no control character, checkSetting, and a file stored by its
// absolute path (the program may run from another folder, as a service does).
// A refused value changes nothing.
Status assignSetting(MqttSettings& settings, const QString& key, const QString& value);

// kestrune.conf's text to settings, read from the global lines before the
// first workbook section; lines that are not key=value, comments, other keys
// and values holding a control character are skipped.
MqttSettings parseConf(const QByteArray& text);
// `text` with the global mqtt.* lines set to `settings` (empty values dropped,
// new ones added before the first workbook section); every other line, the
// workbook sections among them, is kept byte for byte.
QByteArray updatedConf(const QByteArray& text, const MqttSettings& settings);

// Reads the file at `path`; a missing file is the empty settings.
Result<MqttSettings> readConf(const QString& path);
// Writes the settings into the file at `path` (through a new file and a
// rename); refuses a value holding a control character.
Status writeConf(const QString& path, const MqttSettings& settings);

}  // namespace kestrune::mqtt
