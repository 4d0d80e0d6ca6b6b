// libmicrohttpd's headers appear only in this file.
#include "web/web_server.h"

#include "web/connection_admission.h"
#include "web/event_stream.h"

#include <QFile>
#include <QUrl>

#include <microhttpd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrune::web {

namespace {

const QString MsgNeedsTls = QStringLiteral(
    "%1 はこのコンピューターの外から接続できるアドレスです。http.cert-file と http.key-file に証明書と鍵を設定して"
    "ください（Web 表示は開始しません）");
const QString MsgUnreadable = QStringLiteral("%1 を読めません");
const QString MsgCannotListen = QStringLiteral("%1 で待ち受けられません（Web 表示は開始しません）");
const QString MsgNotStarted = QStringLiteral("Web 表示を開始できません");
const QString MsgTlsNotStarted = QStringLiteral(
    "証明書 %1 と鍵 %2 で Web 表示を開始できません（PEM の形か、証明書と鍵の組み合わせを確かめてください）");
const QString MsgListening = QStringLiteral("Web 表示: %1 で待ち受けています");
const QString MsgListeningToken = QStringLiteral("Web 表示: %1 で待ち受けています（アクセスにはトークンが必要です）");

const char* const TextNotFound = "見つかりません。\n";
const char* const TextNotAllowed = "この要求には応じられません（GET と HEAD だけです）。\n";
const char* const TextUnauthorized = "アクセスにはトークンが必要です。\n";
const char* const TextBadQuery = "after と limit には 0 以上の整数を指定してください。\n";
const char* const TextNoWorkbook = "ワークブックはまだ保存されていません。\n";

const char* const TypeText = "text/plain; charset=utf-8";
const char* const TypeJson = "application/json";
const char* const TokenCookie = "kestrune_token";

constexpr std::uint64_t DefaultRowLimit = 1000;
constexpr std::uint64_t MaxRowLimit = 10000;
constexpr std::size_t StreamBlock = 32 * 1024;

QString systemReason() { return QString::fromLocal8Bit(std::strerror(errno)); }

// Every answer carries these: nothing is cached, sniffed, framed or fetched elsewhere.
void addCommonHeaders(MHD_Response* response) {
  MHD_add_response_header(response, "Cache-Control", "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Content-Security-Policy",
                          "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
                          "connect-src 'self'");
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
}

MHD_Result queue(MHD_Connection* connection, unsigned status, MHD_Response* response) {
  if (response == nullptr) return MHD_NO;
  addCommonHeaders(response);
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result queueBytes(MHD_Connection* connection, unsigned status, const QByteArray& body, const char* type) {
  MHD_Response* response = MHD_create_response_from_buffer(static_cast<size_t>(body.size()),
                                                           const_cast<char*>(body.constData()), MHD_RESPMEM_MUST_COPY);
  if (response != nullptr) MHD_add_response_header(response, "Content-Type", type);
  return queue(connection, status, response);
}

MHD_Result queueText(MHD_Connection* connection, unsigned status, const char* text) {
  return queueBytes(connection, status, QByteArray(text), TypeText);
}

const char* header(MHD_Connection* connection, MHD_ValueKind kind, const char* name) {
  return MHD_lookup_connection_value(connection, kind, name);
}

// The query left once `token` is taken out, arguments as the client sent them.
MHD_Result keepArgument(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* query = static_cast<QByteArray*>(cls);
  if (std::strcmp(key, "token") == 0) return MHD_YES;
  *query += (query->isEmpty() ? "?" : "&") + QByteArray(key);
  if (value != nullptr) *query += '=' + QByteArray(value);
  return MHD_YES;
}

// Paths and arguments are left as sent: "%2e%2e" or "%2F" match no path
// rather than turning into one. Arguments this server reads are digits and hex.
size_t keepEscapes(void*, MHD_Connection*, char* text) { return std::strlen(text); }

std::optional<std::uint64_t> unsignedArgument(const char* text) {
  if (text == nullptr) return std::nullopt;
  const QByteArray digits(text);
  bool ok = !digits.isEmpty();
  for (const char c : digits) ok = ok && c >= '0' && c <= '9';
  const qulonglong value = ok ? digits.toULongLong(&ok) : 0;
  if (!ok) return std::nullopt;
  return value;
}

ssize_t readStream(void* cls, uint64_t, char* buffer, size_t max) {
  const std::size_t count = static_cast<EventStream*>(cls)->read(buffer, max);
  return count == 0 ? MHD_CONTENT_READER_END_OF_STREAM : static_cast<ssize_t>(count);
}

void freeStream(void* cls) { delete static_cast<EventStream*>(cls); }

// The niceness of the connections' threads: a viewer never takes a core
// from the acquisition's tick.
constexpr int ConnectionNiceness = 10;

ConnectionAdmission::Connection* admitted(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info ? static_cast<ConnectionAdmission::Connection*>(info->socket_context) : nullptr;
}

// The client's address as bytes: what tells one client from another.
QByteArray peerOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return {};
  const sockaddr* address = info->client_addr;
  if (address->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    return QByteArray(reinterpret_cast<const char*>(&in6->sin6_addr), sizeof in6->sin6_addr);
  }
  const auto* in4 = reinterpret_cast<const sockaddr_in*>(address);
  return QByteArray(reinterpret_cast<const char*>(&in4->sin_addr), sizeof in4->sin_addr);
}

void onConnection(void* cls, MHD_Connection* connection, void** socketContext, MHD_ConnectionNotificationCode code) {
  auto& admission = *static_cast<ConnectionAdmission*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const MHD_ConnectionInfo* fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    *socketContext = admission.admit(fd ? fd->connect_fd : -1, peerOf(connection));
  } else if (*socketContext != nullptr) {
    admission.closed(static_cast<ConnectionAdmission::Connection*>(*socketContext));
    *socketContext = nullptr;
  }
}

void onCompleted(void* cls, MHD_Connection* connection, void**, MHD_RequestTerminationCode) {
  if (ConnectionAdmission::Connection* admittedConnection = admitted(connection))
    static_cast<ConnectionAdmission*>(cls)->setBusy(admittedConnection, false);
}

MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                     const char*, size_t*, void**) {
  auto* server = static_cast<WebServer*>(cls);
  if (ConnectionAdmission::Connection* admittedConnection = admitted(connection))
    server->admission().setBusy(admittedConnection, true);
  // Each connection has its own thread; on Linux a thread's id names it alone.
  thread_local const bool lowered = setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), ConnectionNiceness) == 0;
  static_cast<void>(lowered);
  return server->answer(connection, url, method) ? MHD_YES : MHD_NO;
}

Result<QByteArray> readWhole(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly))
    return fail(WebError::FileUnreadable, MsgUnreadable.arg(path), file.errorString());
  QByteArray bytes = file.readAll();
  if (file.error() != QFileDevice::NoError)
    return fail(WebError::FileUnreadable, MsgUnreadable.arg(path), file.errorString());
  return bytes;
}

QByteArray resource(const char* name) {
  QFile file(QStringLiteral(":/web/") + QLatin1String(name));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A bound and listening socket for `address`, or why there is none.
Result<int> listenOn(const ListenAddress& address) {
  const Error refused = fail(WebError::CannotListen, MsgCannotListen.arg(address.text()));
  const int family = address.ipv6 ? AF_INET6 : AF_INET;
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(WebError::CannotListen, refused.description, systemReason());
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_storage storage{};
  socklen_t length = 0;
  const QByteArray host = address.host.toLatin1();
  if (address.ipv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(address.port);
    ::inet_pton(AF_INET6, host.constData(), &in6->sin6_addr);
    // [::] takes IPv4 clients too.
    const int off = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    length = sizeof(sockaddr_in6);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(address.port);
    ::inet_pton(AF_INET, host.constData(), &in4->sin_addr);
    length = sizeof(sockaddr_in);
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd, 64) != 0) {
    const QString reason = systemReason();
    ::close(fd);
    return fail(WebError::CannotListen, refused.description, reason);
  }
  return fd;
}

quint16 boundPort(int fd) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return 0;
  if (storage.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

}  // namespace

WebServer::WebServer() = default;

WebServer::~WebServer() { stop(); }

Status WebServer::start(const WebSettings& settings, const QString& settingsFolder, WebFeed& feed) {
  return start(settings, settingsFolder, feed, Limits());
}

Status WebServer::start(const WebSettings& settings, const QString& settingsFolder, WebFeed& feed,
                        const Limits& limits) {
  stop();
  const Result<ListenAddress> address = parseListen(settings.listen, true);
  if (!address) return address.error();
  tls_ = !address->loopback();
  if (tls_) {
    if (settings.certFile.isEmpty() || settings.keyFile.isEmpty())
      return fail(WebError::NeedsTls, MsgNeedsTls.arg(address->text()));
    Result<QByteArray> cert = readWhole(settings.certFile);
    if (!cert) return cert.error();
    Result<QByteArray> key = readWhole(settings.keyFile);
    if (!key) return key.error();
    Result<QByteArray> token = loadOrCreateToken(settingsFolder);
    if (!token) return token.error();
    cert_ = *cert;
    key_ = *key;
    token_ = *token;
  } else {
    cert_.clear();
    key_.clear();
    token_.clear();
  }
  const Result<int> socket = listenOn(*address);
  if (!socket) return socket.error();

  page_ = resource("index.html");
  script_ = resource("app.js");
  style_ = resource("style.css");
  feed_ = &feed;
  limits_ = limits;
  address_ = *address;
  port_ = boundPort(*socket);
  stopping_ = false;

  admission_ = std::make_unique<ConnectionAdmission>(limits_.connections, limits_.perClient);
  unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD;
  if (address->ipv6) flags |= MHD_USE_IPv6;
  if (tls_) flags |= MHD_USE_TLS;
  // The port is given by the socket; MHD_start_daemon's own port is not used.
  // The admission keeps to the limits by closing idle connections; the
  // library's own limit, above it, only allows for those still closing.
  daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &onRequest, this, MHD_OPTION_LISTEN_SOCKET, *socket,
                             MHD_OPTION_CONNECTION_LIMIT, 2 * limits_.connections, MHD_OPTION_NOTIFY_CONNECTION,
                             &onConnection, admission_.get(), MHD_OPTION_NOTIFY_COMPLETED, &onCompleted,
                             admission_.get(), MHD_OPTION_CONNECTION_TIMEOUT, limits_.idleSeconds,
                             MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.connectionMemory, MHD_OPTION_UNESCAPE_CALLBACK,
                             &keepEscapes, nullptr, tls_ ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, key_.constData(),
                             MHD_OPTION_HTTPS_MEM_CERT, cert_.constData(), MHD_OPTION_END);
  if (daemon_ == nullptr) {
    ::close(*socket);
    feed_ = nullptr;
    if (tls_) return fail(WebError::NotStarted, MsgTlsNotStarted.arg(settings.certFile, settings.keyFile));
    return fail(WebError::NotStarted, MsgNotStarted);
  }
  return {};
}

void WebServer::stop() {
  if (daemon_ == nullptr) return;
  // Event streams waiting on the feed see the flag and end; then the
  // library closes every connection and joins its threads.
  stopping_ = true;
  feed_->wakeAll();
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  admission_.reset();
  feed_ = nullptr;
}

QString WebServer::description() const {
  ListenAddress where = address_;
  where.port = port_;
  const QString url = (tls_ ? QStringLiteral("https://") : QStringLiteral("http://")) + where.text() + QChar('/');
  return (tls_ ? MsgListeningToken : MsgListening).arg(url);
}

int WebServer::answer(MHD_Connection* connection, const char* url, const char* method) {
  const QByteArray path(url);
  if (!token_.isEmpty()) {
    const char* queryToken = header(connection, MHD_GET_ARGUMENT_KIND, "token");
    if (queryToken != nullptr) {
      if (!tokenMatches(token_, QByteArray(queryToken)))
        return queueText(connection, MHD_HTTP_UNAUTHORIZED, TextUnauthorized);
      // Once given in the address, the token goes on in a cookie and leaves the address.
      QByteArray query;
      MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &keepArgument, &query);
      const QByteArray location = path + query;
      MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
      if (response == nullptr) return MHD_NO;
      MHD_add_response_header(response, "Location", location.constData());
      const QByteArray cookie = QByteArray(TokenCookie) + '=' + token_ + "; Path=/; HttpOnly; Secure; SameSite=Strict";
      MHD_add_response_header(response, "Set-Cookie", cookie.constData());
      return queue(connection, MHD_HTTP_SEE_OTHER, response);
    }
    const QByteArray authorization(header(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION));
    const QByteArray cookie(header(connection, MHD_COOKIE_KIND, TokenCookie));
    const bool bearer = authorization.startsWith("Bearer ") && tokenMatches(token_, authorization.mid(7).trimmed());
    if (!bearer && !tokenMatches(token_, cookie)) return queueText(connection, MHD_HTTP_UNAUTHORIZED, TextUnauthorized);
  }

  const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
  if (!head && std::strcmp(method, MHD_HTTP_METHOD_GET) != 0) {
    MHD_Response* response = MHD_create_response_from_buffer(std::strlen(TextNotAllowed),
                                                             const_cast<char*>(TextNotAllowed), MHD_RESPMEM_PERSISTENT);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, "Content-Type", TypeText);
    MHD_add_response_header(response, "Allow", "GET, HEAD");
    return queue(connection, MHD_HTTP_METHOD_NOT_ALLOWED, response);
  }

  if (path == "/") return queueBytes(connection, MHD_HTTP_OK, page_, "text/html; charset=utf-8");
  if (path == "/app.js") return queueBytes(connection, MHD_HTTP_OK, script_, "text/javascript; charset=utf-8");
  if (path == "/style.css") return queueBytes(connection, MHD_HTTP_OK, style_, "text/css; charset=utf-8");
  if (path == "/api/status") return queueBytes(connection, MHD_HTTP_OK, feed_->statusJson(), TypeJson);
  if (path == "/api/rows") {
    const char* afterText = header(connection, MHD_GET_ARGUMENT_KIND, "after");
    const char* limitText = header(connection, MHD_GET_ARGUMENT_KIND, "limit");
    const std::optional<std::uint64_t> after = afterText ? unsignedArgument(afterText) : std::uint64_t{0};
    const std::optional<std::uint64_t> limit = limitText ? unsignedArgument(limitText) : DefaultRowLimit;
    if (!after || !limit) return queueText(connection, MHD_HTTP_BAD_REQUEST, TextBadQuery);
    const WebFeed::Rows rows = feed_->rowsAfter(*after, std::min(*limit, MaxRowLimit));
    QByteArray body("{\"rows\":[");
    for (std::size_t i = 0; i < rows.json.size(); ++i) body += (i == 0 ? "" : ",") + rows.json[i];
    body += "],\"lastSequence\":" + QByteArray::number(static_cast<qulonglong>(rows.lastSequence)) +
            ",\"more\":" + (rows.more ? "true" : "false") + '}';
    return queueBytes(connection, MHD_HTTP_OK, body, TypeJson);
  }
  if (path == "/api/events") {
    if (head) return queueBytes(connection, MHD_HTTP_OK, {}, "text/event-stream");
    const std::optional<std::uint64_t> lastEventId =
        unsignedArgument(header(connection, MHD_HEADER_KIND, "Last-Event-ID"));
    auto* stream = new EventStream(*feed_, stopping_, {limits_.keepAlive, limits_.statusInterval, limits_.rowInterval},
                                   lastEventId);
    MHD_Response* response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, StreamBlock, &readStream, stream, &freeStream);
    if (response == nullptr) {
      delete stream;
      return MHD_NO;
    }
    MHD_add_response_header(response, "Content-Type", "text/event-stream");
    return queue(connection, MHD_HTTP_OK, response);
  }
  if (path == "/download/rows.csv") {
    const QByteArray csv = feed_->csv();
    MHD_Response* response = MHD_create_response_from_buffer(static_cast<size_t>(csv.size()),
                                                             const_cast<char*>(csv.constData()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, "Content-Type", "text/csv; charset=utf-8");
    MHD_add_response_header(response, "Content-Disposition", "attachment; filename=\"rows.csv\"");
    return queue(connection, MHD_HTTP_OK, response);
  }
  if (path == "/download/workbook.xls") {
    const QString file = feed_->workbookFile();
    // Opened now: a save that replaces the file by a rename leaves this
    // descriptor on the whole file it had.
    const int fd = file.isEmpty() ? -1 : ::open(QFile::encodeName(file).constData(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      if (fd >= 0) ::close(fd);
      return queueText(connection, MHD_HTTP_NOT_FOUND, TextNoWorkbook);
    }
    MHD_Response* response = MHD_create_response_from_fd64(static_cast<uint64_t>(info.st_size), fd);
    if (response == nullptr) {
      ::close(fd);
      return MHD_NO;
    }
    const QByteArray name = QUrl::toPercentEncoding(file.section(QChar('/'), -1));
    MHD_add_response_header(response, "Content-Type", "application/vnd.ms-excel");
    MHD_add_response_header(response, "Content-Disposition", ("attachment; filename*=UTF-8''" + name).constData());
    return queue(connection, MHD_HTTP_OK, response);
  }
  return queueText(connection, MHD_HTTP_NOT_FOUND, TextNotFound);
}

}  // namespace kestrune::web
