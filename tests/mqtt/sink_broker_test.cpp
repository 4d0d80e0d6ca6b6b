// The sink against a real mosquitto broker: rows arrive in order with their
// JSON; a broker down at the start, a broker killed mid-run, and the sending
// process killed with rows queued all end with every row delivered, a
// redelivered row always with its first seq.
#include "app/acquisition_session.h"
#include "app/mqtt_publishing.h"
#include "test_broker.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace kestrune::app {
namespace {

using namespace std::chrono_literals;
using mqtt::testing::Received;
using mqtt::testing::seqValues;

constexpr auto Patience = 30s;

class SinkBrokerTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (mqtt::testing::mosquittoPath().isEmpty()) GTEST_SKIP() << "mosquitto is not installed";
    ASSERT_TRUE(dir.isValid());
    QFile conf(dir.filePath(mqtt::ConfFileName));
    ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
    conf.write(QStringLiteral("mqtt.url=%1\nmqtt.topic=lab/{host}/{workbook}\n").arg(broker.url()).toUtf8());
  }
  std::unique_ptr<MqttPublishing> publishing() {
    mqtt::SinkOptions options;
    options.retryFirst = 100ms;
    options.retryLongest = 400ms;
    auto p = std::make_unique<MqttPublishing>(settings::SettingsFolder::fixed(dir.path()), options);
    p->beginRun(QStringLiteral("/data/book.xls"));
    return p;
  }
  // The broker knows the subscriber's session before any row is published,
  // even when it is killed and started again.
  std::unique_ptr<mqtt::testing::Subscriber> subscribe() {
    auto s = std::make_unique<mqtt::testing::Subscriber>(broker.port(), QStringLiteral("lab/#"));
    EXPECT_TRUE(s->waitSubscribed(Patience));
    EXPECT_TRUE(broker.save());
    return s;
  }
  static void row(MqttPublishing& p, int value) {
    AcquiredRow r;
    r.sheet = QStringLiteral("Sheet1");
    r.row = value + 1;
    r.values = {typedValue(QString::number(value))};
    p.take(r);
  }
  static auto distinctValues(int count) {
    return [count](const std::vector<Received>& got) {
      std::set<int> values;
      for (const auto& sv : seqValues(got)) values.insert(sv.value);
      return static_cast<int>(values.size()) >= count;
    };
  }
  // First arrivals are in order; a value that came twice came with the same
  // seq; seq grows with the value. Returns the seq of every value.
  static std::map<int, std::uint64_t> checkedArrivals(const std::vector<Received>& got) {
    std::map<int, std::uint64_t> seqOf;
    int lastNew = -1;
    for (const auto& [seq, value] : seqValues(got)) {
      if (auto it = seqOf.find(value); it != seqOf.end()) {
        EXPECT_EQ(it->second, seq) << "value " << value << " came again with another seq";
        continue;
      }
      EXPECT_GT(value, lastNew) << "out of order";
      lastNew = value;
      seqOf[value] = seq;
    }
    std::uint64_t lastSeq = 0;
    for (const auto& [value, seq] : seqOf) {
      EXPECT_GT(seq, lastSeq) << value;
      lastSeq = seq;
    }
    return seqOf;
  }
  // Every value 0..count-1 arrived, and no other.
  static void expectAllInOrder(const std::vector<Received>& got, int count) {
    const auto seqOf = checkedArrivals(got);
    ASSERT_EQ(static_cast<int>(seqOf.size()), count);
    EXPECT_EQ(seqOf.begin()->first, 0);
    EXPECT_EQ(seqOf.rbegin()->first, count - 1);
  }

  QTemporaryDir dir;
  mqtt::testing::TestBroker broker;
};

TEST_F(SinkBrokerTest, RowsArriveInOrderWithTheirJson) {
  ASSERT_TRUE(broker.start());
  auto subscriber = subscribe();
  auto p = publishing();
  const QDateTime when = QDateTime::currentDateTime();
  AcquiredRow sent;
  sent.sheet = QStringLiteral("Sheet1");
  sent.row = 2;
  sent.number = 41;
  sent.stamp = Stamp{when, Stamp::Kind::DateTime};
  sent.values = {typedValue(QStringLiteral("12.5")), typedValue(QStringLiteral("OVER"))};
  p->take(sent);
  for (int i = 1; i < 100; ++i) row(*p, i);
  ASSERT_TRUE(subscriber->waitFor([](const auto& got) { return got.size() >= 100; }, Patience));
  const std::vector<Received> got = subscriber->messages();
  ASSERT_EQ(got.size(), 100u);
  const QJsonObject first = QJsonDocument::fromJson(got[0].payload).object();
  EXPECT_EQ(got[0].topic, QStringLiteral("lab/%1/book.xls").arg(QSysInfo::machineHostName()));
  EXPECT_EQ(first.value("seq").toInteger(), 1);
  EXPECT_EQ(first.value("host").toString(), QSysInfo::machineHostName());
  EXPECT_EQ(first.value("workbook").toString(), "book.xls");
  EXPECT_EQ(first.value("sheet").toString(), "Sheet1");
  EXPECT_EQ(first.value("row").toInteger(), 2);
  EXPECT_EQ(first.value("number").toInteger(), 41);
  EXPECT_EQ(QDateTime::fromString(first.value("time").toString(), Qt::ISODate).toSecsSinceEpoch(),
            when.toSecsSinceEpoch());
  EXPECT_EQ(first.value("values").toArray(), QJsonArray({12.5, QStringLiteral("OVER")}));
  for (std::size_t i = 1; i < got.size(); ++i) {
    const QJsonObject o = QJsonDocument::fromJson(got[i].payload).object();
    EXPECT_EQ(o.value("seq").toInteger(), static_cast<qint64>(i + 1));
    EXPECT_EQ(o.value("values").toArray(), QJsonArray({static_cast<double>(i)}));
    EXPECT_FALSE(o.contains("number"));
  }
  // The outbox knows every row was delivered.
  for (QDeadlineTimer deadline(Patience); p->status().queued > 0 && !deadline.hasExpired();) p->drain(100ms);
  EXPECT_EQ(p->status().queued, 0u);
  EXPECT_TRUE(p->status().connected);
}

TEST_F(SinkBrokerTest, ABrokerDownAtTheStartGetsEveryRowOnceItIsUp) {
  ASSERT_TRUE(broker.start());
  auto subscriber = subscribe();
  broker.kill();
  auto p = publishing();
  for (int i = 0; i < 50; ++i) row(*p, i);
  const PublishingStatus down = p->status();
  EXPECT_TRUE(down.usable);
  EXPECT_FALSE(down.connected);
  EXPECT_EQ(down.queued, 50u);
  ASSERT_TRUE(broker.start());
  ASSERT_TRUE(subscriber->waitFor(distinctValues(50), Patience))
      << subscriber->messages().size() << " received; " << publishingLine(p->status()).toStdString() << " "
      << p->status().problem.toStdString();
  expectAllInOrder(subscriber->messages(), 50);
}

TEST_F(SinkBrokerTest, ABrokerKilledMidRunGetsEveryRowAfterItsRestart) {
  ASSERT_TRUE(broker.start());
  auto subscriber = subscribe();
  auto p = publishing();
  for (int i = 0; i < 100; ++i) row(*p, i);
  ASSERT_TRUE(subscriber->waitFor(distinctValues(100), Patience));
  broker.kill();
  // Rows keep coming while the broker is gone; the run is never held up.
  for (int i = 100; i < 200; ++i) row(*p, i);
  EXPECT_GE(p->status().queued, 100u);
  ASSERT_TRUE(broker.start());
  ASSERT_TRUE(subscriber->waitFor(distinctValues(200), Patience));
  expectAllInOrder(subscriber->messages(), 200);
}

class SinkProcessTest : public SinkBrokerTest {
protected:
  // Runs the helper; with `killAfter` it is killed once it has queued that many rows.
  QList<int> runHelper(int first, int count, int killAfter, int* exitCode = nullptr) {
    QProcess helper;
    helper.setProgram(QStringLiteral(KESTRUNE_SINK_HELPER_PATH));
    helper.setArguments({dir.path(), QString::number(first), QString::number(count)});
    helper.start();
    EXPECT_TRUE(helper.waitForStarted(5000));
    QList<int> queued;
    QByteArray out;
    QDeadlineTimer deadline(Patience);
    while (helper.state() != QProcess::NotRunning && !deadline.hasExpired()) {
      helper.waitForReadyRead(100);
      out += helper.readAllStandardOutput();
      const qsizetype end = out.lastIndexOf('\n');
      if (end < 0) continue;
      for (const QByteArray& line : out.left(end).split('\n'))
        if (line.startsWith("q ")) queued << line.mid(2).toInt();
      out.remove(0, end + 1);
      if (killAfter > 0 && queued.size() >= killAfter) {
        helper.kill();  // SIGKILL: the outbox is left as the process left it
        break;
      }
    }
    helper.waitForFinished(Patience.count() * 1000);
    if (exitCode) *exitCode = helper.exitStatus() == QProcess::NormalExit ? helper.exitCode() : -1;
    return queued;
  }
};

TEST_F(SinkProcessTest, ASenderKilledWithRowsQueuedDeliversThemAfterItsRestart) {
  ASSERT_TRUE(broker.start());
  auto subscriber = subscribe();
  broker.kill();
  // Killed with its 40 rows queued and the broker down.
  EXPECT_EQ(runHelper(0, 40, 40).size(), 40);
  ASSERT_TRUE(broker.start());
  // Killed mid-stream with the broker up: some rows sent, some queued.
  const QList<int> second = runHelper(40, 5000, 2000);
  ASSERT_GE(second.size(), 2000);
  // It may have queued more than it was seen to print before the kill.
  const int seen = second.last() + 1;
  // Started again: the rest of the outbox goes first, then new rows.
  constexpr int Third = 40 + 5000;
  int exitCode = -1;
  EXPECT_EQ(runHelper(Third, 20, 0, &exitCode).size(), 20);
  EXPECT_EQ(exitCode, 0);
  // The last row comes last: everything else is in by then.
  ASSERT_TRUE(subscriber->waitFor(
      [](const auto& got) {
        const auto arrived = seqValues(got);
        return std::any_of(arrived.begin(), arrived.end(), [](const auto& sv) { return sv.value == Third + 19; });
      },
      Patience));
  const auto seqOf = checkedArrivals(subscriber->messages());
  // 0 up to what the killed one queued, without a gap; then the third one's 20.
  int expected = 0;
  for (const auto& [value, seq] : seqOf) {
    if (value >= Third) break;
    ASSERT_EQ(value, expected) << "missing";
    ++expected;
  }
  EXPECT_GE(expected, seen);
  for (int value = Third; value < Third + 20; ++value) EXPECT_TRUE(seqOf.count(value)) << value;
  EXPECT_EQ(seqOf.size(), static_cast<std::size_t>(expected + 20));
}

}  // namespace
}  // namespace kestrune::app
