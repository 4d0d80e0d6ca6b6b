// The web view's settings, global lines of kestrune.conf: http.listen (where
// the read-only server listens; empty, the default, is off), http.cert-file
// and http.key-file (PEM files for TLS). And the access token a listener
// beyond loopback asks for, kept in the settings folder as http-token.
#pragma once

#include "core/result.h"
#include "web/web_error.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace kestrune::web {

inline const QString KeyListen = QStringLiteral("http.listen");
inline const QString KeyCertFile = QStringLiteral("http.cert-file");
inline const QString KeyKeyFile = QStringLiteral("http.key-file");
inline const QString TokenFileName = QStringLiteral("http-token");

struct WebSettings {
  QString listen;  // empty: off
  QString certFile;
  QString keyFile;

  bool enabled() const { return !listen.isEmpty(); }
  friend bool operator==(const WebSettings&, const WebSettings&) = default;
};

// Where to listen: an IPv4 or IPv6 address in numeric form and a port (0 only
// for the tests: any free port).
struct ListenAddress {
  QString host;  // "127.0.0.1", "::1", "0.0.0.0", "::"
  bool ipv6 = false;
  std::uint16_t port = 0;
  bool loopback() const;
  // "127.0.0.1:8080", "[::1]:8080"
  QString text() const;
  friend bool operator==(const ListenAddress&, const ListenAddress&) = default;
};

// Reads "127.0.0.1:8080", "[::1]:8080", "0.0.0.0:8443", "[::]:8443" or
// "localhost:8080" (taken as 127.0.0.1); the port from 1 to 65535, or 0 where
// `allowAnyPort` (the tests ask for any free port).
Result<ListenAddress> parseListen(const QString& text, bool allowAnyPort = false);

// The keys in listing order.
QStringList settingKeys();
// Checks one value for `key` (an empty value clears the setting); files must exist.
Status checkSetting(const QString& key, const QString& value);
QString settingValue(const WebSettings& settings, const QString& key);
void setSettingValue(WebSettings& settings, const QString& key, const QString& value);
// Sets `key` to `value` when checkSetting accepts it; a file is stored by its
// absolute path. A refused value changes nothing.
Status assignSetting(WebSettings& settings, const QString& key, const QString& value);

// The global http.* lines of kestrune.conf's text; other lines are skipped.
WebSettings parseConf(const QByteArray& text);
// Reads the file at `path`; a missing file is the empty settings (off).
Result<WebSettings> readConf(const QString& path);
// Writes the http.* lines into the file at `path`, every other line as it was.
Status writeConf(const QString& path, const WebSettings& settings);

// The access token of the settings folder: 64 hex digits in the file
// http-token, made from the system's random generator when there is none
// (created with mode 0600). A file that others may read or write, that is no
// plain file or holds no token is refused.
Result<QByteArray> loadOrCreateToken(const QString& settingsFolder);

// Whether `given` is `token`, in a time that does not depend on where they differ.
bool tokenMatches(const QByteArray& token, const QByteArray& given);

}  // namespace kestrune::web
