#include "app/web_view.h"

#include "mqtt/mqtt_settings.h"
#include "sheet/a1.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QSysInfo>

namespace kestrune::app {

namespace {

constexpr int StatusIntervalMs = 250;

// "2026-12-08T09:05:03.120+09:00": local time with its offset.
QString isoText(const QDateTime& when) {
  return when.toOffsetFromUtc(when.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QString stateName(RunState state, bool ranBefore, bool scriptEnded) {
  // The script at its end keeps the run window open until End: ended for a viewer.
  if (scriptEnded && state != RunState::Idle) return QStringLiteral("ended");
  switch (state) {
    case RunState::Running:
      return QStringLiteral("running");
    case RunState::Paused:
      return QStringLiteral("paused");
    case RunState::Stopped:
      return QStringLiteral("ended");
    case RunState::Idle:
      break;
  }
  return ranBefore ? QStringLiteral("ended") : QStringLiteral("idle");
}

QString mqttState(const PublishingStatus& status) {
  if (!status.on) return QStringLiteral("off");
  if (status.connected) return QStringLiteral("connected");
  return status.usable ? QStringLiteral("connecting") : QStringLiteral("disconnected");
}

}  // namespace

Result<web::WebSettings> webSettings(const settings::SettingsFolder& folder, const QString& serve) {
  Result<web::WebSettings> settings = web::readConf(folder.readPath(mqtt::ConfFileName));
  if (!settings || serve.isEmpty()) return settings;
  if (const Result<web::ListenAddress> address = web::parseListen(serve); !address) return address.error();
  settings->listen = serve;
  return settings;
}

WebView::WebView(AcquisitionSession& session, QObject* parent)
    : QObject(parent),
      session_(session),
      program_(QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion()),
      host_(QSysInfo::machineHostName()) {
  statusTimer_.setSingleShot(true);
  statusTimer_.setInterval(StatusIntervalMs);
  connect(&statusTimer_, &QTimer::timeout, this, [this] {
    if (dirty_) publish();
  });
  connect(&session_, &AcquisitionSession::runStarted, this, &WebView::runStarted);
  connect(&session_, &AcquisitionSession::rowAcquired, this, &WebView::rowTaken);
  connect(&session_, &AcquisitionSession::alarmChanged, this,
          [this](const alarm::AlarmEvent&, const QString& line, int) {
            latestAlarm_ = line;
            changed();
          });
  connect(&session_, &AcquisitionSession::runEnded, this, &WebView::changed);
  connect(&session_, &AcquisitionSession::stateChanged, this, &WebView::changed);
  connect(&session_, &AcquisitionSession::progressChanged, this, &WebView::changed);
  connect(&session_, &AcquisitionSession::publishingChanged, this, &WebView::changed);
}

WebView::~WebView() { stop(); }

Status WebView::start(const web::WebSettings& settings) {
  stop();
  if (!settings.enabled()) return {};
  feed_.setWorkbookFile(QFileInfo(session_.workbookPath()).absoluteFilePath());
  feed_.setStatus(status());
  const QString folder = QFileInfo(session_.folder().writePath(web::TokenFileName)).absolutePath();
  return server_.start(settings, folder, feed_);
}

void WebView::stop() {
  statusTimer_.stop();
  server_.stop();
}

void WebView::runStarted() {
  startedAt_ = session_.clock().now();
  latestAlarm_.clear();
  columns_ = {};
  lastSequence_ = 0;
  if (!server_.running()) return;
  feed_.beginRun();
  feed_.setWorkbookFile(QFileInfo(session_.workbookPath()).absoluteFilePath());
  changed();
}

void WebView::rowTaken(const AcquiredRow& row) {
  if (!server_.running()) return;
  if (columns_.isEmpty()) {
    // The value columns, each with the text above the run's first row.
    const std::int32_t first = session_.lastRunFirstRow();
    for (std::size_t i = 0; i < row.values.size(); ++i) {
      const int column = row.firstColumn + row.leadingCells() + static_cast<int>(i);
      columns_.append(
          QJsonObject{{QStringLiteral("column"), sheet::columnLetters(column)},
                      {QStringLiteral("header"), first > 1 ? session_.headerText(first - 1, column) : QString()}});
    }
  }
  lastSequence_ = row.sequence;
  feed_.addRow(row);
  changed();
}

void WebView::changed() {
  if (!server_.running()) return;
  dirty_ = true;
  // The first change goes out at once, the ones after it at most every 250 ms.
  if (!statusTimer_.isActive()) publish();
}

void WebView::publish() {
  dirty_ = false;
  feed_.setStatus(status());
  statusTimer_.start();
}

QJsonObject WebView::status() {
  const RunProgress& progress = session_.progress();
  const settings::Conditions& conditions = session_.conditions();
  const auto orNull = [](const auto& value) { return value ? QJsonValue(static_cast<double>(*value)) : QJsonValue(); };
  QJsonArray channels;
  if (session_.runLoaded()) {
    std::vector<int> inUse = session_.interpreter().channelsInUse();
    if (inUse.empty()) inUse.push_back(0);
    for (const int channel : inUse)
      channels.append(
          QJsonObject{{QStringLiteral("channel"), channel + 1},
                      {QStringLiteral("state"),
                       session_.port(channel).deviceAbsent() ? QStringLiteral("lost") : QStringLiteral("connected")}});
  }
  const PublishingStatus publishing = session_.publishing().status();
  const std::optional<double> perMinute = progress.rowsPerMinute();
  const QFileInfo book(session_.workbookPath());
  return QJsonObject{
      {QStringLiteral("program"), program_},
      {QStringLiteral("host"), host_},
      {QStringLiteral("state"), stateName(session_.state(), startedAt_.isValid(), progress.ended)},
      {QStringLiteral("workbook"), book.fileName()},
      {QStringLiteral("sheet"), session_.runSheet()},
      {QStringLiteral("rows"), progress.rowsDone},
      {QStringLiteral("rowLimit"), progress.rowLimit > 0 ? QJsonValue(progress.rowLimit) : QJsonValue()},
      {QStringLiteral("startedAt"), startedAt_.isValid() ? QJsonValue(isoText(startedAt_)) : QJsonValue()},
      {QStringLiteral("elapsedMs"), static_cast<double>(progress.elapsedMs)},
      {QStringLiteral("remainingMs"), orNull(progress.remainingMs())},
      {QStringLiteral("rate"), perMinute ? QJsonValue(*perMinute / 60.0) : QJsonValue()},
      {QStringLiteral("lastSequence"), static_cast<double>(lastSequence_)},
      {QStringLiteral("stampPrecision"),
       session_.runOptions().stampMilliseconds ? QStringLiteral("ms") : QStringLiteral("s")},
      {QStringLiteral("leading"),
       QJsonObject{{QStringLiteral("number"), conditions.numbering},
                   {QStringLiteral("stamp"), conditions.stamp != settings::StampMode::None}}},
      {QStringLiteral("columns"), columns_},
      {QStringLiteral("channels"), channels},
      {QStringLiteral("mqtt"), QJsonObject{{QStringLiteral("state"), mqttState(publishing)},
                                           {QStringLiteral("queued"), static_cast<double>(publishing.queued)}}},
      {QStringLiteral("alarms"), session_.alarmsOn()
                                     ? QJsonValue(QJsonObject{{QStringLiteral("active"), session_.activeAlarms()},
                                                              {QStringLiteral("latest"), latestAlarm_}})
                                     : QJsonValue()},
      {QStringLiteral("savedAt"), book.exists() ? QJsonValue(isoText(book.lastModified())) : QJsonValue()},
  };
}

}  // namespace kestrune::app
