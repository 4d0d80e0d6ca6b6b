// What the sender tells the user when the broker cannot be used: a real
// refused connection in Japanese with the system's words kept; password
// files that are not short private files.
#include "app/mqtt_publishing.h"
#include "mqtt/sink.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <mosquitto.h>

#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::mqtt {
namespace {

using namespace std::chrono_literals;

// A loopback port nobody listens on: bound, then let go.
std::uint16_t closedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return 0;
  ::close(fd);
  return ntohs(address.sin_port);
}

TEST(SinkErrorsTest, AClosedPortIsReportedInJapanese) {
  QTemporaryDir dir;
  const std::uint16_t port = closedPort();
  ASSERT_NE(port, 0);
  MqttSettings settings;
  settings.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(port);
  Sink sink;
  ASSERT_TRUE(sink.start(settings, dir.filePath(OutboxFileName)).ok());
  QDeadlineTimer patience(30s);
  while (sink.lastError().isEmpty() && !patience.hasExpired()) QThread::msleep(10);
  const QString error = sink.lastError();
  EXPECT_TRUE(error.startsWith(QStringLiteral("ブローカーが接続を受け付けません。"))) << error.toStdString();
  EXPECT_TRUE(
      error.endsWith(QStringLiteral("（") + QString::fromLocal8Bit(std::strerror(ECONNREFUSED)) + QStringLiteral("）")))
      << error.toStdString();
}

TEST(SinkErrorsTest, OnlyAShortRegularPasswordFileIsReadAndAnOpenOneIsWarnedAbout) {
  QTemporaryDir dir;
  const QString fifo = dir.filePath(QStringLiteral("fifo"));
  ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  const auto file = [&](const char* name, const QByteArray& bytes, QFile::Permissions permissions) {
    const QString path = dir.filePath(QString::fromUtf8(name));
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    f.close();
    EXPECT_TRUE(QFile::setPermissions(path, permissions));
    return path;
  };
  const auto owner = QFile::ReadOwner | QFile::WriteOwner;
  struct Case {
    QString path;
    bool starts;
    const char* says;  // in the refusal or the warning; empty: no warning
  };
  const Case cases[] = {
      {file("private", "secret\n", owner), true, ""},
      {file("readable", "secret\n", owner | QFile::ReadGroup | QFile::ReadOther), true, "chmod 600"},
      {file("writable", "secret\n", owner | QFile::WriteGroup), true, "権限 0620"},
      {file("long", QByteArray(MostPasswordFileBytes + 1, 'x'), owner), false, "大きすぎます"},
      {fifo, false, "通常のファイルではありません"},
      {QStringLiteral("/dev/zero"), false, "通常のファイルではありません"},
      {dir.filePath(QStringLiteral("missing")), false, "ありません"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.toStdString());
    MqttSettings settings;
    settings.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(closedPort());
    settings.passwordFile = c.path;
    Sink sink;
    const Status started = sink.start(settings, dir.filePath(OutboxFileName));
    ASSERT_EQ(started.ok(), c.starts) << started.description().toStdString();
    if (!c.starts) {
      EXPECT_TRUE(started.error().is(MqttError::PasswordUnusable));
    }
    const QString said = c.starts ? sink.warning() : started.description();
    EXPECT_EQ(said.isEmpty(), *c.says == '\0') << said.toStdString();
    EXPECT_TRUE(said.contains(QString::fromUtf8(c.says))) << said.toStdString();
    if (!said.isEmpty()) {
      EXPECT_TRUE(said.contains(c.path)) << said.toStdString();
    }
  }
}

}  // namespace
}  // namespace kestrune::mqtt
