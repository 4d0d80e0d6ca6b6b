// Publishing a run's completed rows to an MQTT broker, as kestrune.conf in
// the settings folder asks: off while mqtt.url is empty. Rows go into the
// outbox ("mqtt-outbox" in the same folder) during the tick; the sink's own
// thread sends them.
#pragma once

#include "core/acquired_row.h"
#include "core/alarm_monitor.h"
#include "mqtt/mqtt_settings.h"
#include "mqtt/sink.h"
#include "settings/settings_folder.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace kestrune::app {

inline const QString MsgPublishingConnected = QStringLiteral("MQTT: 接続中");
inline const QString MsgPublishingNotConnected = QStringLiteral("MQTT: 未接続");
// %1: rows waiting in the outbox.
inline const QString MsgPublishingQueued = QStringLiteral("送信待ち %1 行");
inline const QString MsgPublishingUnusable = QStringLiteral("MQTT: 送信できません");

// What the run window and the headless status line show about publishing.
struct PublishingStatus {
  bool on = false;
  bool usable = false;  // the sender runs (the settings and the outbox could be used)
  bool connected = false;
  std::uint64_t queued = 0;
  QString problem;  // why the sink could not start or the last attempt failed
  friend bool operator==(const PublishingStatus&, const PublishingStatus&) = default;
};

// "MQTT: 接続中・送信待ち 3 行"; empty when publishing is off.
QString publishingLine(const PublishingStatus& status);

class MqttPublishing {
public:
  explicit MqttPublishing(settings::SettingsFolder folder, mqtt::SinkOptions options = {});

  // Reads kestrune.conf again at each Start; the sender is restarted only
  // when the settings changed. `workbookPath` names the run's rows.
  void beginRun(const QString& workbookPath);
  // A completed row: queued for the broker.
  void take(const AcquiredRow& row);
  // An alarm raised or cleared: queued for "<topic>/alarm".
  void takeAlarm(const alarm::AlarmEvent& event, const QString& header, std::optional<double> number);
  PublishingStatus status() const;
  // What the sender found worth a warning when it started (a password file
  // others may read); empty when nothing or publishing is off.
  QString warning() const;
  // Gives the sender at most `limit` to empty the outbox while connected.
  void drain(std::chrono::milliseconds limit);

private:
  settings::SettingsFolder folder_;
  mqtt::SinkOptions options_;
  mqtt::MqttSettings settings_;
  std::unique_ptr<mqtt::Sink> sink_;
  QString problem_;
  QString host_;
  QString workbook_;
  QString topic_;
};

}  // namespace kestrune::app
