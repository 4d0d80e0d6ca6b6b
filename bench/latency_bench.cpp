// From the end code arriving to the value being in the workbook, with the
// run window's real 10 ms timer and the built-in script (SSS, RCV, SET, EEE).
// Lines arrive at random moments; prints the latency percentiles.
#include "app/acquisition_session.h"
#include "bench_host.h"
#include "fakes/fake_port.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <map>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using namespace kestrune;

QElapsedTimer sinceStart;

// A spreadsheet that notes when each row's first value lands.
class TimedSheet final : public bench::NullSheet {
public:
  explicit TimedSheet(std::map<int, qint64>& written) : written_(written) {}
  // Each line is "id,3.0,OK": every third field, from the first, is a line's id.
  Status setCellValue(std::int32_t, std::int32_t column, const sheet::CellValue& value) override {
    if ((column - 1) % 3 == 0) written_.emplace(std::get<QString>(value).toInt(), sinceStart.nsecsElapsed());
    return {};
  }

private:
  std::map<int, qint64>& written_;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  constexpr int Lines = 1000;
  QTemporaryDir dir;
  SystemClock clock;
  std::vector<qint64> arrived;
  std::map<int, qint64> written;
  app::AcquisitionSession session(
      [](int) { return std::make_unique<testing::FakePort>(); }, settings::SettingsFolder::fixed(dir.path()), clock,
      [&written]() -> Result<std::unique_ptr<sheet::SpreadsheetApp>> {
        return std::unique_ptr<sheet::SpreadsheetApp>(std::make_unique<TimedSheet>(written));
      });
  {
    settings::Conditions c = session.conditions();
    c.rows = Lines + 10;
    c.cursor.row = 1;
    c.cursor.columnNo = 1;
    session.setConditions(c);
  }
  // The workbook is a placeholder file: the journal beside it is real.
  const QString book = dir.filePath(QStringLiteral("book.xls"));
  QFile placeholder(book);
  if (!placeholder.open(QIODevice::WriteOnly)) return 2;
  placeholder.close();
  session.setWorkbookPath(book);
  if (!session.open()) return 2;
  QTimer ticks;
  bench::driveTicks(session, ticks);
  QObject::connect(&ticks, &QTimer::timeout, &ticks, [&session] { session.tick(); });
  if (!session.start()) return 2;
  sinceStart.start();

  auto& port = static_cast<testing::FakePort&>(session.port(0));
  std::mt19937 random(7);
  std::uniform_int_distribution<int> gap(25, 45);
  QTimer feeder;
  feeder.setSingleShot(true);
  feeder.setTimerType(Qt::PreciseTimer);
  QObject::connect(&feeder, &QTimer::timeout, &feeder, [&] {
    port.receive(QStringLiteral("%1,3.0,OK\r").arg(arrived.size()).toStdU16String());
    arrived.push_back(sinceStart.nsecsElapsed());
    if (static_cast<int>(arrived.size()) < Lines)
      feeder.start(gap(random));
    else
      QTimer::singleShot(200, &application, &QCoreApplication::quit);
  });
  feeder.start(50);
  application.exec();

  std::vector<double> latencies;
  for (const auto& [id, at] : written)
    if (id >= 0 && static_cast<std::size_t>(id) < arrived.size()) latencies.push_back((at - arrived[id]) / 1e6);
  std::sort(latencies.begin(), latencies.end());
  const auto at = [&](double q) { return latencies[static_cast<std::size_t>(q * (latencies.size() - 1))]; };
  std::printf("lines %zu, written %zu\n", arrived.size(), written.size());
  std::printf("end code to workbook: p50 %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.2f ms\n", at(0.5), at(0.9), at(0.99),
              latencies.back());
  return written.size() == arrived.size() ? 0 : 1;
}
