// The window between a row shown on screen and the same row on the disk: a
// row of ten values goes into the journal (as the tick hands it over when SET
// writes it), and the time until the journal's own thread has synced it is
// measured, row after row at the given rate. Run it on the disk the workbooks
// live on, idle and under load (bench/run_load.sh), in a Release build:
//   durability_bench [FOLDER] [ROWS] [ROWS_PER_SECOND]
#include "sheet/journal.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

using namespace kestrune;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = app.arguments();
  QTemporaryDir dir(args.size() > 1 ? args[1] + QStringLiteral("/durability-XXXXXX") : QString());
  const int rows = args.size() > 2 ? args[2].toInt() : 300;
  const int rate = args.size() > 3 ? args[3].toInt() : 33;
  if (!dir.isValid() || rows < 1 || rate < 1) {
    std::fprintf(stderr, "usage: durability_bench [FOLDER] [ROWS] [ROWS_PER_SECOND]\n");
    return 1;
  }
  const QString book = dir.filePath(QStringLiteral("book.xls"));
  QFile(book).open(QIODevice::WriteOnly);
  sheet::JournalWriter journal;
  if (!journal.open(book)) return 1;
  const sheet::Stamp stamp{QDateTime::currentDateTime(), sheet::Stamp::Kind::DateTime};
  std::vector<double> windowMs;
  const auto period = std::chrono::microseconds(1000000 / rate);
  auto next = Clock::now();
  for (int row = 1; row <= rows; ++row) {
    std::this_thread::sleep_until(next);
    next += period;
    const sheet::RowStart start{row, 1, row + 1};
    const auto shown = Clock::now();
    bool written = journal.cell(start, 1, row).ok() && journal.cell(start, 2, stamp).ok();
    for (int column = 3; column <= 10; ++column)
      written = journal.cell(start, column, QStringLiteral("+01234.567")).ok() && written;
    if (!written || !journal.endRow(row + 1, 1, row + 1)) return 1;
    while (journal.durableRows() < row) std::this_thread::sleep_for(std::chrono::microseconds(50));
    windowMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - shown).count());
  }
  std::sort(windowMs.begin(), windowMs.end());
  const auto at = [&](double q) { return windowMs[static_cast<std::size_t>(q * (windowMs.size() - 1))]; };
  std::printf("rows %d at %d/s: row on screen to row on disk p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", rows, rate,
              at(0.5), at(0.99), windowMs.back());
  return 0;
}
