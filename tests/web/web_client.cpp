#include "web/web_client.h"

#include <QProcess>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrune::web::test {

namespace {

using Clock = std::chrono::steady_clock;

// Appends what arrives on `fd` until EOF or `until`; false on timeout.
bool readSome(int fd, QByteArray& text, Clock::time_point until) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  if (left <= 0) return false;
  pollfd watched{fd, POLLIN, 0};
  if (::poll(&watched, 1, static_cast<int>(left)) <= 0) return false;
  char buffer[16384];
  const ssize_t got = ::read(fd, buffer, sizeof buffer);
  if (got <= 0) return false;
  text.append(buffer, got);
  return true;
}

}  // namespace

Reply parseReply(const QByteArray& text) {
  Reply reply;
  const qsizetype end = text.indexOf("\r\n\r\n");
  if (!text.startsWith("HTTP/") || end < 0) return reply;
  const QList<QByteArray> lines = text.left(end).split('\n');
  reply.status = lines.front().split(' ').value(1).toInt();
  for (qsizetype i = 1; i < lines.size(); ++i) {
    const qsizetype colon = lines[i].indexOf(':');
    if (colon > 0) reply.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
  }
  reply.body = text.mid(end + 4);
  return reply;
}

int connectTo(quint16 port, int receiveBuffer) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

QByteArray exchange(quint16 port, const QByteArray& request) {
  const int fd = connectTo(port);
  if (fd < 0) return {};
  QByteArray text;
  // The server may answer and close before it has read all of a refused request.
  if (::send(fd, request.constData(), static_cast<size_t>(request.size()), MSG_NOSIGNAL) >= 0) {
    const Clock::time_point until = Clock::now() + std::chrono::seconds(30);
    while (readSome(fd, text, until)) {
    }
  }
  ::close(fd);
  return text;
}

Reply get(quint16 port, const QByteArray& path, const QByteArray& extraHeaders, const QByteArray& method) {
  return parseReply(exchange(port, method + ' ' + path + " HTTP/1.0\r\nHost: localhost\r\n" + extraHeaders + "\r\n"));
}

Reply curl(const QStringList& arguments) {
  QProcess process;
  process.start(QStringLiteral("/usr/bin/curl"),
                QStringList{"-s", "-k", "-i", "--path-as-is", "--max-time", "30"} + arguments);
  if (!process.waitForFinished(60000) || process.exitCode() != 0) return {};
  return parseReply(process.readAllStandardOutput());
}

StreamReader::StreamReader(quint16 port, const QByteArray& extraHeaders) : fd_(connectTo(port)) {
  const QByteArray request = "GET /api/events HTTP/1.0\r\nHost: localhost\r\n" + extraHeaders + "\r\n";
  if (fd_ >= 0) ::send(fd_, request.constData(), static_cast<size_t>(request.size()), MSG_NOSIGNAL);
}

StreamReader::~StreamReader() {
  if (fd_ >= 0) ::close(fd_);
}

qsizetype StreamReader::waitFor(const QByteArray& needle, qsizetype from, std::chrono::milliseconds timeout) {
  const Clock::time_point until = Clock::now() + timeout;
  for (;;) {
    const qsizetype at = text_.indexOf(needle, from);
    if (at >= 0) return at + needle.size();
    if (fd_ < 0 || !readSome(fd_, text_, until)) return -1;
  }
}

}  // namespace kestrune::web::test
