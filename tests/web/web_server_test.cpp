// The web server on 127.0.0.1 with a free port, reached by raw HTTP/1.0
// requests (every byte as written) and, for TLS, by /usr/bin/curl.
#include "web/web_client.h"
#include "web/web_server.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <ctime>

namespace kestrune::web {
namespace {

using namespace test;
using Clock = std::chrono::steady_clock;

AcquiredRow makeRow(std::uint64_t sequence, std::vector<AcquiredValue> values = {{"1.5", 1.5}}) {
  AcquiredRow row;
  row.sequence = sequence;
  row.number = static_cast<std::int32_t>(sequence);
  row.sheet = QStringLiteral("Sheet1");
  row.row = static_cast<std::int32_t>(sequence) + 1;
  row.firstColumn = 1;
  row.values = std::move(values);
  return row;
}

class WebServerTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    // Stamps are told in local time with its offset: a zone with one all year.
    ::setenv("TZ", "Asia/Tokyo", 1);
    ::tzset();
  }
  void SetUp() override {
    feed.beginRun();
    feed.setStatus(QJsonObject{{"state", "running"}, {"workbook", "炉1.xls"}});
  }
  void startLoopback(const WebServer::Limits& limits = {}) {
    const Status started = server.start({QStringLiteral("127.0.0.1:0"), {}, {}}, dir.path(), feed, limits);
    ASSERT_TRUE(started.ok()) << started.description().toStdString();
    ASSERT_NE(server.port(), 0);
  }

  QTemporaryDir dir;
  WebFeed feed;
  WebServer server;
};

void expectCommonHeaders(const Reply& reply) {
  EXPECT_EQ(reply.headers.value("cache-control"), "no-store");
  EXPECT_EQ(reply.headers.value("x-content-type-options"), "nosniff");
  EXPECT_EQ(reply.headers.value("referrer-policy"), "no-referrer");
  EXPECT_EQ(reply.headers.value("content-security-policy"),
            "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; connect-src 'self'");
}

TEST_F(WebServerTest, PathsMethodsAndHeaders) {
  startLoopback();
  struct Case {
    const char* method;
    const char* path;
    int status;
    const char* type;
  };
  const Case cases[] = {
      {"GET", "/", 200, "text/html; charset=utf-8"},
      {"HEAD", "/", 200, "text/html; charset=utf-8"},
      {"GET", "/app.js", 200, "text/javascript; charset=utf-8"},
      {"GET", "/style.css", 200, "text/css; charset=utf-8"},
      {"GET", "/api/status", 200, "application/json"},
      {"GET", "/api/rows", 200, "application/json"},
      {"GET", "/download/rows.csv", 200, "text/csv; charset=utf-8"},
      {"GET", "/download/workbook.xls", 404, "text/plain; charset=utf-8"},  // not saved yet
      {"POST", "/api/status", 405, "text/plain; charset=utf-8"},
      {"DELETE", "/", 405, "text/plain; charset=utf-8"},
      {"PUT", "/nowhere", 405, "text/plain; charset=utf-8"},
      {"GET", "/index.html", 404, "text/plain; charset=utf-8"},
      {"GET", "/api/status/", 404, "text/plain; charset=utf-8"},
      {"GET", "/../setup.dat", 404, "text/plain; charset=utf-8"},
      {"GET", "/%2e%2e/setup.dat", 404, "text/plain; charset=utf-8"},
      {"GET", "/%2E%2E/%2E%2E/etc/passwd", 404, "text/plain; charset=utf-8"},
      {"GET", "//etc/passwd", 404, "text/plain; charset=utf-8"},
      {"GET", "/api%2Fstatus", 404, "text/plain; charset=utf-8"},
      {"GET", "/download%2Frows.csv", 404, "text/plain; charset=utf-8"},
      {"GET", "/app.js%00.html", 404, "text/plain; charset=utf-8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + ' ' + c.path);
    const Reply reply = get(server.port(), c.path, {}, c.method);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.headers.value("content-type"), c.type);
    expectCommonHeaders(reply);
    if (c.status == 405) {
      EXPECT_EQ(reply.headers.value("allow"), "GET, HEAD");
    }
    if (c.status != 200) {
      EXPECT_FALSE(reply.body.contains("Kestrune")) << "an error answer shows nothing of the page";
    }
  }
  EXPECT_EQ(get(server.port(), "/api/status").body, feed.statusJson());
  EXPECT_TRUE(get(server.port(), "/").body.contains("app.js")) << "the page names its script";
  EXPECT_TRUE(get(server.port(), "/", {}, "HEAD").body.isEmpty());

  WebServer second;
  const Status taken = second.start({QStringLiteral("127.0.0.1:%1").arg(server.port()), {}, {}}, dir.path(), feed);
  EXPECT_TRUE(taken.error().is(WebError::CannotListen));
  EXPECT_FALSE(second.running());
}

TEST_F(WebServerTest, RowsAfterAndLimit) {
  startLoopback();
  for (std::uint64_t s = 1; s <= 25; ++s) feed.addRow(makeRow(s));
  struct Case {
    const char* query;
    int status;
    int first;  // 0: no rows
    int count;
    bool more;
  };
  const Case cases[] = {
      {"", 200, 1, 25, false},
      {"?after=10&limit=5", 200, 11, 5, true},
      {"?after=20&limit=10", 200, 21, 5, false},
      {"?after=24&limit=1", 200, 25, 1, false},
      {"?after=25", 200, 0, 0, false},
      {"?after=99", 200, 0, 0, false},
      {"?limit=0", 200, 0, 0, true},
      {"?after=-1", 400, 0, 0, false},
      {"?after=1x", 400, 0, 0, false},
      {"?limit=", 400, 0, 0, false},
      {"?after=99999999999999999999999", 400, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    const Reply reply = get(server.port(), QByteArray("/api/rows") + c.query);
    ASSERT_EQ(reply.status, c.status);
    if (c.status != 200) continue;
    const QJsonObject answer = QJsonDocument::fromJson(reply.body).object();
    const QJsonArray rows = answer.value("rows").toArray();
    ASSERT_EQ(rows.size(), c.count);
    for (qsizetype i = 0; i < rows.size(); ++i)
      EXPECT_EQ(rows[i].toObject().value("sequence").toInteger(), c.first + i);
    EXPECT_EQ(answer.value("lastSequence").toInteger(), 25);
    EXPECT_EQ(answer.value("more").toBool(), c.more);
  }
  // The limit is at most 10000.
  for (std::uint64_t s = 26; s <= 10005; ++s) feed.addRow(makeRow(s));
  const QJsonObject capped = QJsonDocument::fromJson(get(server.port(), "/api/rows?limit=20000").body).object();
  EXPECT_EQ(capped.value("rows").toArray().size(), 10000);
  EXPECT_TRUE(capped.value("more").toBool());
}

TEST_F(WebServerTest, RowJsonAndCsv) {
  startLoopback();
  feed.setStatus(QJsonObject{{"columns", QJsonArray{QJsonObject{{"column", "C"}, {"header", "温度, 炉\"1\""}},
                                                    QJsonObject{{"column", "D"}, {"header", ""}}}}});
  const QTimeZone tokyo = QTimeZone(9 * 3600);
  AcquiredRow first = makeRow(1, {{"31.5", 31.5}, {"ERR", std::nullopt}});
  first.stamp = Stamp{QDateTime(QDate(2026, 12, 8), QTime(9, 5, 3, 120), tokyo), Stamp::Kind::DateTime};
  AcquiredRow second = makeRow(2, {{"a\r\nb", std::nullopt}, {" x", std::nullopt}, {"extra", std::nullopt}});
  second.number.reset();
  second.stamp = Stamp{QDateTime(QDate(2026, 12, 8), QTime(0, 0), tokyo), Stamp::Kind::Date};
  AcquiredRow third = makeRow(3, {{"inf", std::numeric_limits<double>::infinity()}});
  third.stamp = Stamp{QDateTime(QDate(2026, 12, 8), QTime(23, 59, 59, 7), tokyo), Stamp::Kind::Time};
  feed.addRow(first);
  feed.addRow(second);
  feed.addRow(third);

  const Reply csv = get(server.port(), "/download/rows.csv");
  EXPECT_EQ(csv.body, QByteArray("\xEF\xBB\xBF"
                                 "sequence,number,stamp,\"温度, 炉\"\"1\"\"\",D,E\r\n"
                                 "1,1,2026-12-08T09:05:03.120+09:00,31.5,ERR,\r\n"
                                 "2,,2026-12-08,\"a\r\nb\",\" x\",extra\r\n"
                                 "3,3,23:59:59.007,inf,,\r\n"));

  const QJsonArray rows =
      QJsonDocument::fromJson(get(server.port(), "/api/rows").body).object().value("rows").toArray();
  ASSERT_EQ(rows.size(), 3);
  const QJsonObject one = rows[0].toObject();
  EXPECT_EQ(one.value("stamp").toString(), "2026-12-08T09:05:03.120+09:00");
  EXPECT_EQ(one.value("sheet").toString(), "Sheet1");
  EXPECT_EQ(one.value("row").toInt(), 2);
  EXPECT_EQ(one.value("values").toArray(), (QJsonArray{"31.5", "ERR"}));
  EXPECT_EQ(one.value("numbers").toArray(), (QJsonArray{31.5, QJsonValue()}));
  EXPECT_TRUE(rows[1].toObject().value("number").isNull());
  EXPECT_TRUE(rows[2].toObject().value("numbers").toArray().at(0).isNull()) << "not finite: null";
}

TEST_F(WebServerTest, EventStream) {
  WebServer::Limits limits;
  limits.statusInterval = std::chrono::seconds(2);
  limits.keepAlive = std::chrono::seconds(30);
  startLoopback(limits);
  feed.addRow(makeRow(1));
  StreamReader reader(server.port());
  qsizetype at = reader.waitFor("retry: 2000\n\n");
  ASSERT_GT(at, 0);
  const Clock::time_point connected = Clock::now();
  EXPECT_TRUE(reader.text().contains("content-type: text/event-stream") ||
              reader.text().contains("Content-Type: text/event-stream"));
  at = reader.waitFor("event: status\ndata: " + feed.statusJson() + "\n\n", at);
  ASSERT_GT(at, 0);

  // A status change, then a row: the stream takes the row at once and holds
  // the status back for the interval after the last status it sent.
  feed.setStatus(QJsonObject{{"state", "running"}, {"rows", 2}});
  feed.addRow(makeRow(2, {{"7", 7.0}}));
  const qsizetype row = reader.waitFor("id: 2\nevent: row\ndata: " + rowJson(makeRow(2, {{"7", 7.0}})) + "\n\n", at);
  ASSERT_GT(row, 0);
  EXPECT_FALSE(reader.text().left(row).contains("id: 1\n")) << "rows before the connection are not repeated";

  // Within that interval: only the latest is told.
  feed.setStatus(QJsonObject{{"state", "running"}, {"rows", 3}});
  feed.setStatus(QJsonObject{{"state", "paused"}});
  const bool withinInterval = Clock::now() - connected < limits.statusInterval;
  at = reader.waitFor("event: status\ndata: {\"state\":\"paused\"}\n\n", row);
  ASSERT_GT(at, 0);
  if (withinInterval) {
    EXPECT_FALSE(reader.text().contains("\"rows\":2")) << "coalesced";
    EXPECT_FALSE(reader.text().contains("\"rows\":3")) << "coalesced";
  }
  feed.beginRun();
  at = reader.waitFor("event: run\ndata: {}\n\n", at);
  ASSERT_GT(at, 0);
  feed.addRow(makeRow(1));
  EXPECT_GT(reader.waitFor("id: 1\nevent: row\n", at), 0) << "the new run's first row";

  // A browser's reconnect gets the rows after its last id.
  for (std::uint64_t s = 2; s <= 5; ++s) feed.addRow(makeRow(s));
  StreamReader again(server.port(), "Last-Event-ID: 3\r\n");
  const qsizetype four = again.waitFor("id: 4\nevent: row\n");
  ASSERT_GT(four, 0);
  EXPECT_GT(again.waitFor("id: 5\nevent: row\n", four), 0);
  EXPECT_FALSE(again.text().contains("id: 3\n"));

  // Stopping ends the streams that wait on the feed (long before their next
  // keep-alive): the clients see the end.
  const Clock::time_point stopping = Clock::now();
  server.stop();
  EXPECT_LT(Clock::now() - stopping, limits.keepAlive / 10);
  EXPECT_EQ(again.waitFor("never sent"), -1);
  EXPECT_FALSE(again.text().contains("never sent"));
}

TEST_F(WebServerTest, RowsSoonAfterASentOneWaitForTheRowInterval) {
  WebServer::Limits limits;
  limits.statusInterval = std::chrono::milliseconds(1);
  limits.rowInterval = std::chrono::hours(1);
  startLoopback(limits);
  StreamReader reader(server.port());
  qsizetype at = reader.waitFor("event: status\n");
  ASSERT_GT(at, 0);
  feed.addRow(makeRow(1));
  at = reader.waitFor("id: 1\nevent: row\n", at);
  ASSERT_GT(at, 0) << "the first row goes at once";
  feed.addRow(makeRow(2));
  feed.setStatus(QJsonObject{{"state", "paused"}});
  ASSERT_GT(reader.waitFor("{\"state\":\"paused\"}", at), 0);
  EXPECT_FALSE(reader.text().contains("id: 2\n")) << "held for the interval; the status was not";
}

TEST_F(WebServerTest, QuietStreamGetsKeepAliveComments) {
  WebServer::Limits limits;
  limits.keepAlive = std::chrono::milliseconds(100);
  startLoopback(limits);
  StreamReader reader(server.port());
  const qsizetype first = reader.waitFor(": keep-alive\n\n");
  ASSERT_GT(first, 0);
  EXPECT_GT(reader.waitFor(": keep-alive\n\n", first), 0);
  EXPECT_EQ(reader.text().count("event: status"), 1) << "nothing else while nothing changes";
}

TEST_F(WebServerTest, WorkbookDownloadIsTheFileAsOpened) {
  startLoopback();
  const QString path = dir.filePath(QStringLiteral("炉1.xls"));
  QByteArray original(4 * 1024 * 1024, '\0');
  for (qsizetype i = 0; i < original.size(); ++i) original[i] = static_cast<char>((i * 131) >> 3);
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(original);
  file.close();
  feed.setWorkbookFile(path);

  const Reply whole = get(server.port(), "/download/workbook.xls");
  EXPECT_EQ(whole.status, 200);
  EXPECT_EQ(whole.body, original);
  EXPECT_EQ(whole.headers.value("content-disposition"), "attachment; filename*=UTF-8''%E7%82%891.xls");

  // A save replaces the file by a rename while a slow client downloads it:
  // the client still gets the whole file it asked for.
  const int fd = connectTo(server.port(), 4096);
  ASSERT_GE(fd, 0);
  const QByteArray request("GET /download/workbook.xls HTTP/1.0\r\n\r\n");
  ASSERT_EQ(::send(fd, request.constData(), static_cast<size_t>(request.size()), MSG_NOSIGNAL), request.size());
  QByteArray text;
  char buffer[4096];
  while (!text.contains("\r\n\r\n")) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    ASSERT_GT(got, 0);
    text.append(buffer, got);
  }
  QFile replacement(path + ".new");
  ASSERT_TRUE(replacement.open(QIODevice::WriteOnly));
  replacement.write("a newer and shorter workbook");
  replacement.close();
  ASSERT_EQ(::rename(QFile::encodeName(path + ".new").constData(), QFile::encodeName(path).constData()), 0);
  for (ssize_t got = 0; (got = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, got);
  ::close(fd);
  EXPECT_EQ(parseReply(text).body, original);
  EXPECT_EQ(get(server.port(), "/download/workbook.xls").body, "a newer and shorter workbook");

  ASSERT_TRUE(QFile::remove(path));
  const Reply gone = get(server.port(), "/download/workbook.xls");
  EXPECT_EQ(gone.status, 404);
  EXPECT_EQ(gone.body, "ワークブックはまだ保存されていません。\n");
}

TEST_F(WebServerTest, BeyondLoopbackNeedsTlsAndToken) {
  Status refused = server.start({QStringLiteral("0.0.0.0:0"), {}, {}}, dir.path(), feed);
  EXPECT_TRUE(refused.error().is(WebError::NeedsTls));
  EXPECT_FALSE(server.running());
  EXPECT_FALSE(QFile::exists(dir.filePath(TokenFileName)));
  refused =
      server.start({QStringLiteral("[::]:0"), dir.filePath("none.pem"), dir.filePath("none.key")}, dir.path(), feed);
  EXPECT_TRUE(refused.error().is(WebError::FileUnreadable));
  EXPECT_FALSE(server.running());

  if (!QFile::exists(QStringLiteral("/usr/bin/openssl")) || !QFile::exists(QStringLiteral("/usr/bin/curl")))
    GTEST_SKIP() << "openssl or curl is missing";
  const QString cert = dir.filePath(QStringLiteral("cert.pem"));
  const QString key = dir.filePath(QStringLiteral("key.pem"));
  QProcess openssl;
  openssl.start(QStringLiteral("/usr/bin/openssl"), {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                                                     "/CN=localhost", "-days", "1", "-keyout", key, "-out", cert});
  ASSERT_TRUE(openssl.waitForFinished(120000));
  ASSERT_EQ(openssl.exitCode(), 0) << openssl.readAllStandardError().toStdString();

  // Files the wrong way round: not a key and a certificate.
  refused = server.start({QStringLiteral("0.0.0.0:0"), key, cert}, dir.path(), feed);
  EXPECT_TRUE(refused.error().is(WebError::NotStarted));
  EXPECT_FALSE(server.running());

  // [::] takes IPv4 clients too: the test's clients reach it on 127.0.0.1.
  const Status started = server.start({QStringLiteral("[::]:0"), cert, key}, dir.path(), feed);
  ASSERT_TRUE(started.ok()) << started.description().toStdString();
  EXPECT_TRUE(server.description().contains(QStringLiteral("https://[::]:%1/").arg(server.port())));
  QFile tokenFile(dir.filePath(TokenFileName));
  ASSERT_TRUE(tokenFile.open(QIODevice::ReadOnly));
  const QByteArray token = tokenFile.readAll().trimmed();
  const QString base = QStringLiteral("https://127.0.0.1:%1").arg(server.port());
  const QByteArray wrong(64, '0');

  struct Case {
    const char* what;
    QStringList arguments;
    int status;
  };
  const Case cases[] = {
      {"no token", {base + "/api/status"}, 401},
      {"no token, the page", {base + "/"}, 401},
      {"no token, a download", {base + "/download/rows.csv"}, 401},
      {"bearer", {"-H", "Authorization: Bearer " + token, base + "/api/status"}, 200},
      {"wrong bearer", {"-H", "Authorization: Bearer " + wrong, base + "/api/status"}, 401},
      {"cookie", {"-H", "Cookie: kestrune_token=" + token, base + "/api/status"}, 200},
      {"wrong cookie", {"-H", "Cookie: kestrune_token=" + wrong, base + "/api/status"}, 401},
      {"wrong query", {base + "/api/status?token=" + wrong}, 401},
      {"query", {base + "/api/rows?after=2&token=" + token + "&limit=5"}, 303},
      {"plain http", {QStringLiteral("http://127.0.0.1:%1/api/status").arg(server.port())}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Reply reply = curl(c.arguments);
    EXPECT_EQ(reply.status, c.status);
    if (c.status == 0) continue;
    expectCommonHeaders(reply);
    if (c.status == 401) {
      EXPECT_EQ(reply.body, "アクセスにはトークンが必要です。\n");
      EXPECT_FALSE(reply.headers.contains("set-cookie"));
    }
    if (c.status == 200) {
      EXPECT_EQ(reply.body, feed.statusJson());
    }
    if (c.status == 303) {
      EXPECT_EQ(reply.headers.value("location"), "/api/rows?after=2&limit=5");
      EXPECT_EQ(reply.headers.value("set-cookie"),
                "kestrune_token=" + token + "; Path=/; HttpOnly; Secure; SameSite=Strict");
    }
  }
}

TEST_F(WebServerTest, HeadersBeyond16KiBAreRefused) {
  startLoopback();
  const auto filler = [](int kib) { return "X-Filler: " + QByteArray(kib * 1024, 'a') + "\r\n"; };
  const Reply refused = get(server.port(), "/api/status", filler(16));
  EXPECT_EQ(refused.status, 431);
  EXPECT_NE(refused.body, feed.statusJson());
  EXPECT_EQ(get(server.port(), "/api/status", filler(15)).status, 200);
}

TEST_F(WebServerTest, IdleConnectionsGiveWayToNewOnesButStreamsStay) {
  WebServer::Limits limits;
  limits.connections = 8;
  limits.perClient = 4;
  limits.idleSeconds = 60;  // long: the idle ones are not ended by the time-out here
  startLoopback(limits);
  StreamReader first(server.port());
  StreamReader second(server.port());
  ASSERT_GT(first.waitFor("event: status\n"), 0);
  ASSERT_GT(second.waitFor("event: status\n"), 0);

  // Ten sockets that never ask: each takes the place of an older idle one.
  std::vector<int> idle;
  for (int i = 0; i < 10; ++i) idle.push_back(connectTo(server.port()));
  EXPECT_EQ(get(server.port(), "/api/status").status, 200) << "served at once, not after the idle ones time out";
  // The server admits connections in order: by the time it took the request,
  // it had shut down every idle socket but the newest.
  int ended = 0;
  for (const int fd : idle) {
    char byte = 0;
    ended += fd >= 0 && ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0 ? 1 : 0;
    ::close(fd);
  }
  EXPECT_EQ(ended, 9);
  feed.addRow(makeRow(1));
  EXPECT_GT(first.waitFor("id: 1\nevent: row\n"), 0) << "a stream is never closed for another connection";
  EXPECT_GT(second.waitFor("id: 1\nevent: row\n"), 0);
}

TEST_F(WebServerTest, StalledReaderHoldsUpNeitherRunNorOthers) {
  startLoopback();
  const int stalled = connectTo(server.port(), 4096);
  ASSERT_GE(stalled, 0);
  const QByteArray request("GET /api/events HTTP/1.0\r\n\r\n");
  ASSERT_EQ(::send(stalled, request.constData(), static_cast<size_t>(request.size()), MSG_NOSIGNAL), request.size());
  StreamReader reader(server.port());
  ASSERT_GT(reader.waitFor("event: status\n"), 0);

  // Each row is a copy under a short lock; a reader that stops reading must
  // not add a wait. The rows make some 12 MB of events, more than the socket
  // buffers hold, so the stalled client's thread does wait. A row costs
  // microseconds: 10,000 stay far below two seconds even on a loaded machine.
  const std::vector<AcquiredValue> values(10, AcquiredValue{QString(100, QChar('7')), 7.0});
  const Clock::time_point before = Clock::now();
  for (std::uint64_t s = 1; s <= 10000; ++s) feed.addRow(makeRow(s, values));
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(2));
  EXPECT_GT(reader.waitFor("id: 10000\nevent: row\n"), 0);
  ::close(stalled);
}

}  // namespace
}  // namespace kestrune::web
