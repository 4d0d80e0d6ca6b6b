// The real program: kestrune --headless with the virtual instrument on a
// pseudo-terminal publishes each row of its run to a mosquitto broker, with
// the sheet, the worksheet row, the acquisition number and the stamp, and
// tells on standard error when it connected.
#include "fakes/raw_setup.h"
#include "settings/setup_record.h"
#include "test_broker.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

namespace kestrune {
namespace {

using namespace std::chrono_literals;

class HeadlessMqttTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (mqtt::testing::mosquittoPath().isEmpty()) GTEST_SKIP() << "mosquitto is not installed";
    ASSERT_TRUE(dir.isValid());
    link = dir.filePath(QStringLiteral("ttyINSTR"));
    instrument.setProgram(QStringLiteral(KESTRUNE_INSTRUMENT_PATH));
    instrument.setArguments({QStringLiteral("--link"), link, QStringLiteral("--reply"), QStringLiteral("{n},測定OK")});
    instrument.start();
    ASSERT_TRUE(instrument.waitForStarted(5000));
    for (QDeadlineTimer deadline(5000); !QFileInfo::exists(link) && !deadline.hasExpired();) QThread::msleep(20);
    ASSERT_TRUE(QFileInfo::exists(link));
    writeFile(QStringLiteral("ports.conf"), QStringLiteral("COM1=%1\n").arg(link).toUtf8());
    writeFile(QStringLiteral("data.txt"), "SSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nEEE\r\n");
    writeSetup(3);
    writeFile(QStringLiteral("kestrune.conf"), QStringLiteral("mqtt.url=%1\n").arg(broker.url()).toUtf8());
    book = dir.filePath(QStringLiteral("data.xls"));
    ASSERT_EQ(run({QStringLiteral("--new-workbook"), book}), 0);
  }
  void TearDown() override {
    instrument.terminate();
    if (!instrument.waitForFinished(5000)) instrument.kill();
  }
  void writeSetup(std::int32_t measureCount) {
    testing::RawSetup r;
    r.stampMode = 3;
    r.scriptFromFile = testing::True16;
    r.numberingOn = testing::True16;
    r.acquisitionNo = 5;
    r.startAtCell = testing::True16;
    r.startCol = "B";
    r.startRow = 2;
    r.acquireTimeMs = 60000;
    r.measureCount = measureCount;
    r.commSettings[0] = "9600,n,8,1";
    r.commPort[0] = 1;
    writeFile(QStringLiteral("setup.dat"), r.bytes());
  }
  void writeFile(const QString& name, const QByteArray& bytes) {
    QFile f(dir.filePath(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  }
  QStringList headless() const {
    return {QStringLiteral("--headless"),    QStringLiteral("--dir"),   dir.path(), QStringLiteral("--workbook"), book,
            QStringLiteral("--spreadsheet"), QStringLiteral("embedded")};
  }
  int run(const QStringList& args, QByteArray* err = nullptr) {
    QProcess p;
    p.start(QStringLiteral(KESTRUNE_PATH), args);
    if (!p.waitForFinished(60000)) {
      p.kill();
      p.waitForFinished();
      return -1;
    }
    if (err) *err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  }

  QTemporaryDir dir;
  QString link;
  QString book;
  QProcess instrument;
  mqtt::testing::TestBroker broker;
};

TEST_F(HeadlessMqttTest, EveryRowOfAHeadlessRunReachesTheBroker) {
  ASSERT_TRUE(broker.start());
  mqtt::testing::Subscriber subscriber(broker.port(), QStringLiteral("kestrune/#"));
  ASSERT_TRUE(subscriber.waitSubscribed(30s));
  QByteArray err;
  ASSERT_EQ(run(headless(), &err), 0) << err.toStdString();
  EXPECT_TRUE(err.contains("kestrune: MQTT: 接続中")) << err.toStdString();
  ASSERT_TRUE(subscriber.waitFor([](const auto& got) { return got.size() >= 3; }, 30s));
  const auto got = subscriber.messages();
  ASSERT_EQ(got.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(got[i].topic.startsWith(QStringLiteral("kestrune/"))) << got[i].topic.toStdString();
    EXPECT_TRUE(got[i].topic.endsWith(QStringLiteral("/data.xls"))) << got[i].topic.toStdString();
    const QJsonObject o = QJsonDocument::fromJson(got[i].payload).object();
    EXPECT_EQ(o.value("seq").toInteger(), i + 1);
    EXPECT_EQ(o.value("workbook").toString(), "data.xls");
    EXPECT_FALSE(o.value("sheet").toString().isEmpty());
    EXPECT_EQ(o.value("row").toInteger(), 2 + i);  // B2 onward
    EXPECT_EQ(o.value("number").toInteger(), 5 + i);
    EXPECT_TRUE(QDateTime::fromString(o.value("time").toString(), Qt::ISODate).isValid())
        << o.value("time").toString().toStdString();
    EXPECT_EQ(o.value("values").toArray(), QJsonArray({i + 1, QStringLiteral("測定OK")}))
        << got[i].payload.toStdString();
  }
}

// A row reaches the broker only once the journal has it on the disk: with the
// journal's syncs held back (a very slow disk), the run goes on but nothing is
// published; released, every row follows.
TEST_F(HeadlessMqttTest, RowsArePublishedOnlyOnceTheJournalHasThemOnDisk) {
  ASSERT_TRUE(broker.start());
  mqtt::testing::Subscriber subscriber(broker.port(), QStringLiteral("kestrune/#"));
  ASSERT_TRUE(subscriber.waitSubscribed(30s));
  writeSetup(1000);
  writeFile(QStringLiteral("data.txt"), "ITM:0.1\r\nSSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nEEE\r\n");
  const QString gate = dir.filePath(QStringLiteral("gate"));
  writeFile(QStringLiteral("gate"), "");
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(SYNC_FAULT_SHIM));
  environment.insert(QStringLiteral("SYNC_FAULT_PATH"), QStringLiteral(".kestrune-journal"));
  environment.insert(QStringLiteral("SYNC_FAULT_AFTER"), QStringLiteral("1"));  // the journal's creation
  environment.insert(QStringLiteral("SYNC_FAULT_GATE"), gate);
  QProcess p;
  p.setProcessEnvironment(environment);
  p.start(QStringLiteral(KESTRUNE_PATH), headless());
  QByteArray out;
  QByteArray err;
  qsizetype rowsWhenConnected = -1;
  for (QDeadlineTimer deadline(30000); !deadline.hasExpired();) {
    p.waitForReadyRead(100);
    out += p.readAllStandardOutput();
    err += p.readAllStandardError();
    if (rowsWhenConnected < 0 && err.contains("MQTT: 接続中")) rowsWhenConnected = out.count("○ ");
    if (rowsWhenConnected >= 0 && out.count("○ ") >= rowsWhenConnected + 3) break;
  }
  ASSERT_GE(rowsWhenConnected, 0) << err.toStdString();
  ASSERT_GE(out.count("○ "), rowsWhenConnected + 3) << out.toStdString();
  // Three rows done while connected: a row published before it is durable would be there.
  EXPECT_TRUE(subscriber.messages().empty());
  ASSERT_TRUE(QFile::remove(gate));
  EXPECT_TRUE(subscriber.waitFor([](const auto& got) { return got.size() >= 3; }, 30s));
  ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
  ASSERT_TRUE(p.waitForFinished(30000));
  EXPECT_EQ(p.exitCode(), 143) << p.readAllStandardError().toStdString();
}

}  // namespace
}  // namespace kestrune
