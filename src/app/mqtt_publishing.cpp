#include "app/mqtt_publishing.h"

#include "mqtt/row_message.h"

#include <QFileInfo>
#include <QSysInfo>

namespace kestrune::app {

QString publishingLine(const PublishingStatus& status) {
  if (!status.on) return {};
  if (!status.usable) return MsgPublishingUnusable;
  QString line = status.connected ? MsgPublishingConnected : MsgPublishingNotConnected;
  if (status.queued > 0) line += QStringLiteral("・") + MsgPublishingQueued.arg(status.queued);
  return line;
}

MqttPublishing::MqttPublishing(settings::SettingsFolder folder, mqtt::SinkOptions options)
    : folder_(std::move(folder)), options_(options), host_(QSysInfo::machineHostName()) {}

void MqttPublishing::beginRun(const QString& workbookPath) {
  workbook_ = QFileInfo(workbookPath.trimmed()).fileName();
  const auto read = mqtt::readConf(folder_.readPath(mqtt::ConfFileName));
  const mqtt::MqttSettings wanted = read ? *read : mqtt::MqttSettings{};
  if (!read) problem_ = read.description();
  if (!(wanted == settings_) || (wanted.enabled() && !sink_)) {
    sink_.reset();
    settings_ = wanted;
    if (read) problem_.clear();
    if (settings_.enabled()) {
      auto sink = std::make_unique<mqtt::Sink>();
      if (Status started = sink->start(settings_, folder_.writePath(mqtt::OutboxFileName), options_); started)
        sink_ = std::move(sink);
      else
        problem_ = started.description();
    }
  }
  topic_ = mqtt::expandTopic(settings_.topicOrDefault(), host_, workbook_);
}

void MqttPublishing::take(const AcquiredRow& row) {
  if (!sink_) return;
  const mqtt::RowMessage message{host_,      workbook_,
                                 row.sheet,  row.row,
                                 row.number, row.stamp ? std::optional(row.stamp->value) : std::nullopt,
                                 row.values, row.stamp && row.stamp->milliseconds};
  const Status queued = sink_->publish(topic_, [&](std::uint64_t seq) { return mqtt::rowJson(seq, message); });
  if (!queued) problem_ = queued.description();
}

void MqttPublishing::takeAlarm(const alarm::AlarmEvent& event, const QString& header, std::optional<double> number) {
  if (!sink_) return;
  const mqtt::AlarmMessage message{host_, workbook_, header, event, number};
  const Status queued = sink_->publish(topic_ + QStringLiteral("/alarm"),
                                       [&](std::uint64_t seq) { return mqtt::alarmJson(seq, message); });
  if (!queued) problem_ = queued.description();
}

PublishingStatus MqttPublishing::status() const {
  PublishingStatus status;
  status.on = settings_.enabled();
  if (!status.on) return status;
  status.problem = problem_;
  status.usable = sink_ != nullptr;
  if (sink_) {
    const mqtt::SinkState state = sink_->state();
    status.connected = state.connected;
    status.queued = state.queued;
    if (status.problem.isEmpty()) status.problem = sink_->lastError();
  }
  return status;
}

QString MqttPublishing::warning() const { return sink_ ? sink_->warning() : QString(); }

void MqttPublishing::drain(std::chrono::milliseconds limit) {
  if (sink_) sink_->drain(limit);
}

}  // namespace kestrune::app
