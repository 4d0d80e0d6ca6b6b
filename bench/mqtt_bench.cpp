// Rows per second through the MQTT sink to a mosquitto broker on the
// loopback: each row is queued in the outbox as the tick does it, and the
// clock stops when the broker has acknowledged the last one. Also the cost of
// queueing one row (the part the 10 ms tick pays). Needs mosquitto installed.
//   ./build-release/bench/mqtt_bench [rows, default 50000]
#include "mqtt/row_message.h"
#include "mqtt/sink.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include "mqtt/test_broker.h"
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace kestrune;

double at(std::vector<double> v, double q) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  const int rows = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50000;
  if (mqtt::testing::mosquittoPath().isEmpty()) {
    std::puts("mqtt_bench: mosquitto is not installed");
    return 0;
  }
  QTemporaryDir dir;
  mqtt::testing::TestBroker broker;
  if (!broker.start()) return 2;

  mqtt::MqttSettings settings;
  settings.url = broker.url();
  mqtt::Sink sink;
  if (!sink.start(settings, dir.filePath(QStringLiteral("mqtt-outbox")))) return 3;
  for (QDeadlineTimer deadline(10000); !sink.state().connected && !deadline.hasExpired();) QThread::msleep(10);

  mqtt::RowMessage row{QStringLiteral("bench"),
                       QStringLiteral("book.xls"),
                       QStringLiteral("Sheet1"),
                       1,
                       1,
                       QDateTime::currentDateTime(),
                       {{QStringLiteral("20.5"), 20.5}, {QStringLiteral("OK"), std::nullopt}}};
  std::vector<double> queueing;
  queueing.reserve(static_cast<std::size_t>(rows));
  QElapsedTimer clock;
  clock.start();
  for (int i = 0; i < rows; ++i) {
    row.row = i + 1;
    row.number = i + 1;
    const qint64 before = clock.nsecsElapsed();
    if (!sink.publish(QStringLiteral("bench/book.xls"), [&](std::uint64_t seq) { return mqtt::rowJson(seq, row); }))
      return 4;
    queueing.push_back(static_cast<double>(clock.nsecsElapsed() - before) / 1e3);
  }
  const double queuedMs = static_cast<double>(clock.nsecsElapsed()) / 1e6;
  while (sink.state().queued > 0 && clock.elapsed() < 120000) sink.drain(std::chrono::milliseconds(100));
  const double deliveredMs = static_cast<double>(clock.nsecsElapsed()) / 1e6;
  const std::uint64_t left = sink.state().queued;
  sink.stop();  // the broker ends with `broker`
  std::printf("rows %d  queued in %.1f ms (per row p50 %.1f us, p99 %.1f us, max %.1f us)\n", rows, queuedMs,
              at(queueing, 0.5), at(queueing, 0.99), at(queueing, 1.0));
  std::printf("acknowledged by the broker in %.1f ms: %.0f rows/s%s\n", deliveredMs,
              static_cast<double>(rows) * 1000.0 / deliveredMs, left > 0 ? " (NOT ALL: some left)" : "");
  return left > 0 ? 1 : 0;
}
