// kestrune.conf's broker settings: URL parsing, value checks, and rewriting the
// file without losing lines that are not ours.
#include "mqtt/mqtt_settings.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

#include <sys/stat.h>

namespace kestrune::mqtt {
namespace {

TEST(MqttSettingsTest, BrokerUrls) {
  struct Case {
    const char* url;
    bool ok;
    bool tls;
    const char* host;
    int port;
  };
  const Case cases[] = {
      {"mqtt://broker.lab:1884", true, false, "broker.lab", 1884},
      {"mqtt://127.0.0.1", true, false, "127.0.0.1", 1883},
      {"mqtts://broker.lab", true, true, "broker.lab", 8883},
      {"MQTTS://broker.lab:9000/", true, true, "broker.lab", 9000},
      {"mqtt://[::1]:1883", true, false, "::1", 1883},
      {"http://broker.lab", false, false, "", 0},
      {"mqtt://", false, false, "", 0},
      {"broker.lab:1883", false, false, "", 0},
      {"mqtt://broker.lab:0", false, false, "", 0},
      {"mqtt://broker.lab:70000", false, false, "", 0},
      {"mqtt://user@broker.lab", false, false, "", 0},
      {"mqtt://broker.lab/topic", false, false, "", 0},
  };
  for (const Case& c : cases) {
    const auto address = parseBrokerUrl(QString::fromUtf8(c.url));
    ASSERT_EQ(address.ok(), c.ok) << c.url;
    if (!c.ok) continue;
    EXPECT_EQ(address->tls, c.tls) << c.url;
    EXPECT_EQ(address->host, QString::fromUtf8(c.host)) << c.url;
    EXPECT_EQ(address->port, c.port) << c.url;
  }
}

TEST(MqttSettingsTest, ValuesAreCheckedByKey) {
  QTemporaryDir dir;
  const QString file = dir.filePath(QStringLiteral("ca.pem"));
  QFile f(file);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.close();
  struct Case {
    QString key, value;
    std::optional<MqttError> refused;  // none: accepted
  };
  const Case cases[] = {
      {KeyUrl, QStringLiteral("mqtt://h:1"), {}},
      {KeyUrl, QStringLiteral("tcp://h:1"), MqttError::BadUrl},
      {KeyUrl, QString(), {}},  // clears it: publishing off
      {KeyTopic, QStringLiteral("lab/{host}/{workbook}"), {}},
      {KeyTopic, QStringLiteral("lab/#"), MqttError::BadTopic},
      {KeyTopic, QStringLiteral("lab/+/x"), MqttError::BadTopic},
      {KeyCaFile, file, {}},
      {KeyCaFile, dir.filePath(QStringLiteral("missing.pem")), MqttError::FileMissing},
      {KeyCaFile, dir.path(), MqttError::FileMissing},  // a folder is not a file
      {KeyPasswordFile, file, {}},
      {KeyPasswordFile, QStringLiteral("/nonexistent/pw"), MqttError::FileMissing},
      {KeyUser, QStringLiteral("logger"), {}},
      {KeyUser, QStringLiteral("logger\nmqtt.url=mqtt://elsewhere"), MqttError::ControlCharacter},
      {KeyUser, QStringLiteral("log\tger"), MqttError::ControlCharacter},
      {KeyUser, QStringLiteral("logger\x7f"), MqttError::ControlCharacter},
      {KeyTopic, QStringLiteral("lab\r"), MqttError::ControlCharacter},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key.toStdString() + "=" + c.value.toStdString());
    const Status checked = checkSetting(c.key, c.value);
    ASSERT_EQ(checked.ok(), !c.refused.has_value());
    if (c.refused) {
      EXPECT_TRUE(checked.error().is(*c.refused));
    }
  }
}

TEST(MqttSettingsTest, TheReaderTakesOnlyPlainOneLineValuesAndTheWriterWritesNoOther) {
  const MqttSettings read =
      parseConf("mqtt.url=mqtt://a\r\nmqtt.user=al\rice\nmqtt.topic=lab\x01x\nmqtt.ca-file=/ca.pem\r\n");
  EXPECT_EQ(read, (MqttSettings{QStringLiteral("mqtt://a"), {}, {}, {}, QStringLiteral("/ca.pem")}));
  QTemporaryDir dir;
  const QString path = dir.filePath(ConfFileName);
  MqttSettings bad;
  bad.user = QStringLiteral("bob\nmqtt.url=mqtt://elsewhere");
  const Status written = writeConf(path, bad);
  EXPECT_FALSE(written.ok());
  EXPECT_TRUE(written.error().is(MqttError::ControlCharacter));
  EXPECT_TRUE(written.description().contains(KeyUser)) << written.description().toStdString();
  EXPECT_FALSE(QFile::exists(path));
  // A named pipe in the file's place is refused, not waited on.
  ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
  const auto unread = readConf(path);
  ASSERT_FALSE(unread.ok());
  EXPECT_TRUE(unread.error().is(MqttError::ConfUnreadable));
  const Status rewritten = writeConf(path, MqttSettings{});
  ASSERT_FALSE(rewritten.ok());
  EXPECT_TRUE(rewritten.error().is(MqttError::ConfUnreadable));
}

TEST(MqttSettingsTest, WritingKeepsOtherLinesAndDropsEmptyValues) {
  QTemporaryDir dir;
  const QString path = dir.filePath(ConfFileName);
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("# lab settings\nother.key=1\nmqtt.url=mqtt://old:1883\nmqtt.user = alice \n");
  }
  auto read = readConf(path);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read->url, QStringLiteral("mqtt://old:1883"));
  EXPECT_EQ(read->user, QStringLiteral("alice"));
  EXPECT_EQ(read->topicOrDefault(), DefaultTopic);

  MqttSettings next = *read;
  next.url = QStringLiteral("mqtts://new:8883");
  next.user.clear();
  next.topic = QStringLiteral("a/{host}");
  ASSERT_TRUE(writeConf(path, next).ok());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QByteArray text = f.readAll();
  EXPECT_EQ(text, QByteArray("# lab settings\nother.key=1\nmqtt.url=mqtts://new:8883\nmqtt.topic=a/{host}\n"));
  EXPECT_EQ(*readConf(path), next);
  // A missing file is publishing off, not an error.
  EXPECT_FALSE(readConf(dir.filePath(QStringLiteral("none.conf")))->enabled());
}

// Workbook sections belong to the chart and other per-workbook settings: an
// mqtt.url in one is not the broker, and setting the broker keeps every
// section, its comments and blank lines byte for byte.
TEST(MqttSettingsTest, BrokerSettingsLiveBeforeTheWorkbookSectionsAndLeaveThemAsTheyAre) {
  const QByteArray sections =
      "\n# book a\n[/lab/測定 [1] a=b.xls]\r\nmqtt.url=mqtt://not-the-broker\n# hidden\nchart.hidden=1\n\n"
      "[/lab/b.xls]\nmqtt.user=nobody";
  QTemporaryDir dir;
  const QString path = dir.filePath(ConfFileName);
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("mqtt.topic=lab\n" + sections);
  }
  EXPECT_EQ(*readConf(path), (MqttSettings{{}, QStringLiteral("lab"), {}, {}, {}}));
  MqttSettings next;
  next.url = QStringLiteral("mqtt://broker.lab");
  next.user = QStringLiteral("logger");
  ASSERT_TRUE(writeConf(path, next).ok());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), "mqtt.url=mqtt://broker.lab\nmqtt.user=logger\n" + sections + "\n");
  EXPECT_EQ(*readConf(path), next);
}

}  // namespace
}  // namespace kestrune::mqtt
