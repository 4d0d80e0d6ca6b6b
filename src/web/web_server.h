// The read-only web server that lets a browser watch a running logger: the
// page, the status and rows as JSON, a server-sent event stream and two
// downloads. It runs in the HTTP library's own threads, one per connection;
// it only reads the WebFeed the main thread fills, so no client can hold up
// the run. Off unless http.listen is set; a listener beyond loopback asks for
// TLS and the access token.
#pragma once

#include "core/result.h"
#include "web/web_error.h"
#include "web/web_feed.h"
#include "web/web_settings.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>
#include <chrono>
#include <cstdint>

struct MHD_Daemon;
struct MHD_Connection;

namespace kestrune::web {

class ConnectionAdmission;

class WebServer {
public:
  // What one server allows; the defaults are what the program uses.
  struct Limits {
    unsigned connections = 64;
    unsigned perClient = 16;                   // connections from one address
    unsigned idleSeconds = 30;                 // a connection without progress is closed
    std::size_t connectionMemory = 16 * 1024;  // bounds the request headers
    std::chrono::milliseconds keepAlive{15000};
    std::chrono::milliseconds statusInterval{250};
    std::chrono::milliseconds rowInterval{200};
  };

  WebServer();
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Starts listening where `settings` say (a port of 0: any free port).
  // `feed` must outlive the server. Refuses a listener beyond loopback
  // without a certificate and a key, files it cannot read, an address it
  // cannot bind; nothing listens then.
  Status start(const WebSettings& settings, const QString& settingsFolder, WebFeed& feed);
  Status start(const WebSettings& settings, const QString& settingsFolder, WebFeed& feed, const Limits& limits);
  // Closes every connection and stops listening; waits for the server's threads.
  void stop();

  bool running() const { return daemon_ != nullptr; }
  quint16 port() const { return port_; }
  // One line for the log: where it listens and how it is reached.
  QString description() const;

  // The HTTP library's callbacks; not for callers.
  struct Request;
  int answer(MHD_Connection* connection, const char* url, const char* method);
  bool stopping() const { return stopping_.load(); }
  WebFeed& feed() const { return *feed_; }
  const Limits& limits() const { return limits_; }
  ConnectionAdmission& admission() const { return *admission_; }

private:
  MHD_Daemon* daemon_ = nullptr;
  std::unique_ptr<ConnectionAdmission> admission_;
  WebFeed* feed_ = nullptr;
  Limits limits_;
  ListenAddress address_;
  quint16 port_ = 0;
  bool tls_ = false;
  QByteArray token_;  // empty on loopback: no token asked for
  QByteArray cert_;
  QByteArray key_;
  QByteArray page_, script_, style_;
  std::atomic<bool> stopping_{false};
};

}  // namespace kestrune::web
