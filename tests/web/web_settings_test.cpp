// The web view's settings: listen addresses, one key's check as the config
// command makes it, and the access token file.
#include "web/web_settings.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace kestrune::web {
namespace {

TEST(WebSettingsTest, ListenAddresses) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    bool ipv6;
    int port;
    bool loopback;
  };
  const Case cases[] = {
      {"127.0.0.1:8080", true, "127.0.0.1", false, 8080, true},
      {"[::1]:8080", true, "::1", true, 8080, true},
      {"0.0.0.0:8443", true, "0.0.0.0", false, 8443, false},
      {"[::]:8443", true, "::", true, 8443, false},
      {"[::ffff:127.0.0.1]:80", true, "::ffff:127.0.0.1", true, 80, true},
      {"localhost:8080", true, "127.0.0.1", false, 8080, true},
      {"192.168.1.5:65535", true, "192.168.1.5", false, 65535, false},
      {"127.0.0.1:0", false, "", false, 0, false},
      {"127.0.0.1:65536", false, "", false, 0, false},
      {"127.0.0.1:+80", false, "", false, 0, false},
      {"127.0.0.1", false, "", false, 0, false},
      {"::1:8080", false, "", false, 0, false},
      {"lab1:8080", false, "", false, 0, false},
      {"[fe80::1%eth0]:80", false, "", false, 0, false},
      {"256.0.0.1:80", false, "", false, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Result<ListenAddress> address = parseListen(QString::fromUtf8(c.text));
    ASSERT_EQ(address.ok(), c.ok);
    const Status checked = checkSetting(KeyListen, QString::fromUtf8(c.text));
    EXPECT_EQ(checked.ok(), c.ok);
    if (!c.ok) {
      EXPECT_TRUE(address.error().is(WebError::BadListen));
      EXPECT_TRUE(address.error().description.contains(QString::fromUtf8(c.text)));
      EXPECT_TRUE(address.error().description.contains(QStringLiteral("65535")));
      continue;
    }
    EXPECT_EQ(address->host, QString::fromUtf8(c.host));
    EXPECT_EQ(address->ipv6, c.ipv6);
    EXPECT_EQ(address->port, c.port);
    EXPECT_EQ(address->loopback(), c.loopback);
  }
  // Port 0 (any free port) only where asked for.
  EXPECT_TRUE(parseListen(QStringLiteral("127.0.0.1:0"), true).ok());
}

TEST(WebSettingsTest, AssignsCheckedValuesOnly) {
  QTemporaryDir dir;
  const QString cert = dir.filePath(QStringLiteral("cert.pem"));
  QFile file(cert);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();

  WebSettings settings;
  EXPECT_TRUE(assignSetting(settings, KeyListen, QStringLiteral("[::]:8443")).ok());
  EXPECT_TRUE(assignSetting(settings, KeyCertFile, cert).ok());
  const Status missing = assignSetting(settings, KeyKeyFile, dir.filePath(QStringLiteral("none.pem")));
  EXPECT_TRUE(missing.error().is(WebError::FileMissing));
  const Status broken = assignSetting(settings, KeyListen, QStringLiteral("127.0.0.1:80\n"));
  EXPECT_TRUE(broken.error().is(WebError::ControlCharacter));
  EXPECT_EQ(settings, (WebSettings{QStringLiteral("[::]:8443"), cert, QString()}));
  EXPECT_TRUE(assignSetting(settings, KeyListen, QString()).ok());
  EXPECT_FALSE(settings.enabled());

  const WebSettings read =
      parseConf("http.listen = 127.0.0.1:8080\nmqtt.url=mqtt://x\n[/a.xls]\nhttp.listen=0.0.0.0:1\n");
  EXPECT_EQ(read, (WebSettings{QStringLiteral("127.0.0.1:8080"), QString(), QString()}));
}

TEST(WebSettingsTest, TokenFile) {
  QTemporaryDir dir;
  const QString path = dir.filePath(TokenFileName);
  const Result<QByteArray> made = loadOrCreateToken(dir.path());
  ASSERT_TRUE(made.ok()) << made.description().toStdString();
  EXPECT_EQ(made->size(), 64);
  EXPECT_EQ(QByteArray::fromHex(*made).toHex(), *made);
  struct stat info {};
  ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const Result<QByteArray> again = loadOrCreateToken(dir.path());
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(*again, *made);
  QTemporaryDir other;
  EXPECT_NE(*loadOrCreateToken(other.path()), *made);

  // Others may read it: refused, and left as it is.
  ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0640), 0);
  const Result<QByteArray> open = loadOrCreateToken(dir.path());
  ASSERT_FALSE(open.ok());
  EXPECT_TRUE(open.error().is(WebError::TokenUnusable));
  EXPECT_TRUE(open.error().description.contains(QStringLiteral("0640")));
  ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0600), 0);

  for (const QByteArray& content : {QByteArray("abc\n"), QByteArray(64, 'g'), QByteArray(65, 'a')}) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    file.close();
    EXPECT_TRUE(loadOrCreateToken(dir.path()).error().is(WebError::TokenUnusable)) << content.constData();
  }
}

}  // namespace
}  // namespace kestrune::web
