// Clients for the web server's tests: raw HTTP/1.0 over a loopback socket
// (every byte as written, no path clean-up) and /usr/bin/curl for TLS.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QStringList>

#include <chrono>

namespace kestrune::web::test {

struct Reply {
  int status = 0;                        // 0: no answer (closed, refused)
  QMap<QByteArray, QByteArray> headers;  // names in lower case
  QByteArray body;
};

// Splits "HTTP/1.x 200 …\r\nName: value\r\n\r\nbody".
Reply parseReply(const QByteArray& text);

// A connected loopback socket, or -1.
int connectTo(quint16 port, int receiveBuffer = 0);
// Sends `request` and reads until the server closes (or 30 s pass).
QByteArray exchange(quint16 port, const QByteArray& request);
// "GET path HTTP/1.0" with `extraHeaders` (each ending in CRLF).
Reply get(quint16 port, const QByteArray& path, const QByteArray& extraHeaders = {}, const QByteArray& method = "GET");
// curl -s -k -i with `arguments`; status 0 when curl is missing or fails.
Reply curl(const QStringList& arguments);

// One event stream read as it arrives.
class StreamReader {
public:
  StreamReader(quint16 port, const QByteArray& extraHeaders = {});
  ~StreamReader();
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;
  // Reads until `needle` is in the text after `from`, or `timeout`; the offset after the needle, or -1.
  qsizetype waitFor(const QByteArray& needle, qsizetype from = 0,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30));
  const QByteArray& text() const { return text_; }

private:
  int fd_ = -1;
  QByteArray text_;
};

}  // namespace kestrune::web::test
