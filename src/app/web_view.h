// The read-only web view of the session: the server (web::WebServer) and
// what it shows (web::WebFeed), filled from the session's signals on the
// main thread. Each row is handed over as it is taken; the status (state,
// progress, channels, MQTT, alarms) is built again at most every 250 ms when
// something changed. Off until start().
#pragma once

#include "app/acquisition_session.h"
#include "web/web_feed.h"
#include "web/web_server.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

namespace kestrune::app {

// Where the web view's settings come from for one program run: kestrune.conf,
// with `serve` (the --serve option) in place of http.listen when given.
Result<web::WebSettings> webSettings(const settings::SettingsFolder& folder, const QString& serve = {});

class WebView final : public QObject {
  Q_OBJECT
public:
  explicit WebView(AcquisitionSession& session, QObject* parent = nullptr);
  ~WebView() override;

  // Starts the server where `settings` say (nothing while they are off);
  // a running one stops first. What failed, said in Japanese.
  Status start(const web::WebSettings& settings);
  void stop();
  bool running() const { return server_.running(); }
  quint16 port() const { return server_.port(); }
  // "http://127.0.0.1:8080/" and how it is reached, for the log.
  QString description() const { return server_.description(); }

  // The status object the page shows (the JSON the server hands out).
  QJsonObject status();

private:
  void runStarted();
  void rowTaken(const AcquiredRow& row);
  void changed();
  void publish();

  AcquisitionSession& session_;
  web::WebFeed feed_;
  web::WebServer server_;
  QTimer statusTimer_;
  QDateTime startedAt_;
  QString latestAlarm_;
  QJsonArray columns_;  // the run's value columns, from its first row
  // What does not change while the program runs, asked for once.
  const QString program_;
  const QString host_;
  std::uint64_t lastSequence_ = 0;
  bool dirty_ = false;
};

}  // namespace kestrune::app
