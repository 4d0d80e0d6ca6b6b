// A process that publishes rows through the MQTT sink, for the tests that kill
// it: sink_helper FOLDER FIRST COUNT. Takes kestrune.conf from FOLDER, queues
// rows FIRST .. FIRST+COUNT-1 (each value is its number) and prints "q N"
// once row N is in the outbox; then waits until the broker has every row
// (or 30 s) and exits 0 when none is left.
#include "app/acquisition_session.h"
#include "app/mqtt_publishing.h"

#include <QCoreApplication>

#include <cstdio>
#include <thread>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 4) return 2;
  using namespace kestrune;
  const int first = std::atoi(argv[2]);
  const int count = std::atoi(argv[3]);
  mqtt::SinkOptions options;
  options.retryFirst = std::chrono::milliseconds(100);
  options.retryLongest = std::chrono::milliseconds(400);
  app::MqttPublishing publishing(settings::SettingsFolder::fixed(QString::fromLocal8Bit(argv[1])), options);
  publishing.beginRun(QStringLiteral("/data/book.xls"));
  if (!publishing.status().usable) return 3;
  for (int i = first; i < first + count; ++i) {
    AcquiredRow row;
    row.sheet = QStringLiteral("Sheet1");
    row.row = i + 1;
    row.values = {app::typedValue(QString::number(i))};
    publishing.take(row);
    std::printf("q %d\n", i);
    std::fflush(stdout);
  }
  // drain() returns at once while not connected: wait for the connection too.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (publishing.status().queued > 0 && std::chrono::steady_clock::now() < deadline) {
    if (!publishing.status().connected) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    publishing.drain(std::chrono::milliseconds(100));
  }
  return publishing.status().queued == 0 ? 0 : 1;
}
