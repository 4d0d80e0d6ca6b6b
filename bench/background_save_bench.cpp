// The built-in application's background save against its goal: the
// user-interface thread is held under 10 ms per save, for a sheet that grows
// to 65,536 rows x 10 columns, while the worker writes the file.
//  - A run: rows written one after another through EmbeddedSpreadsheet, a
//    background save requested every 256 rows (argument 256; requests during
//    a save are coalesced) or never (argument 0, to compare the time a row
//    takes), events processed after every row as the run window does.
//    Held: the saveInBackground() call, and the event processing that
//    delivers a save's end (the worker joined, backgroundSaveDone emitted).
//  - The full sheet: one cell changed, a background save requested on an
//    idle saver and awaited, 32 times: the held times at the largest size and
//    the time from the request to its end; then one foreground save.
//  - Opening the full sheet: the engine's open alone and openWorkbook, which
//    also copies the workbook for background saves and takes the lock.
// Run from a Release build: ./bench/background_save_bench
#include "core/message_boxes.h"
#include "sheet/embedded/embedded_spreadsheet.h"
#include "sheet/xls/workbook.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using kestrune::sheet::CellValue;
using kestrune::sheet::Stamp;
using kestrune::sheet::embedded::EmbeddedSpreadsheet;
using kestrune::sheet::embedded::SavePrompt;

constexpr std::int32_t Rows = 65536;
constexpr std::int32_t Columns = 10;
constexpr int FullSheetSaves = 32;
// Longer than a save of the full sheet takes: no save is left running after it.
constexpr auto Settle = std::chrono::seconds(2);

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double peakRssMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// p in [0, 1] of the samples, by the nearest rank.
double percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const auto rank = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[std::min(rank, samples.size() - 1)];
}

void report(benchmark::State& state, const char* name, const std::vector<double>& samples) {
  const std::string prefix(name);
  state.counters[prefix + "_p50_ms"] = percentile(samples, 0.5);
  state.counters[prefix + "_p99_ms"] = percentile(samples, 0.99);
  state.counters[prefix + "_max_ms"] = samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
  state.counters[prefix + "_n"] = static_cast<double>(samples.size());
}

// A logger-like row: label, status, number, stamp, typed text, numbers.
CellValue cellValue(std::int32_t row, std::int32_t column) {
  static const QDateTime start(QDate(2024, 5, 6), QTime(7, 0, 0));
  switch (column) {
    case 1:
      return QStringLiteral("sample %1").arg(row);
    case 2:
      return QString::fromLatin1(row % 7 == 0 ? "NG" : "OK");
    case 3:
      return std::int32_t{row};
    case 4:
      return Stamp{start.addSecs(row), Stamp::Kind::DateTime};
    case 5:
      return QStringLiteral("%1.25").arg(row % 1000);
    default:
      return QString::number(row * 0.001 + column, 'f', 3);
  }
}

std::unique_ptr<EmbeddedSpreadsheet> openSheet(kestrune::MessageBoxes& boxes, const QString& path) {
  auto sheet = std::make_unique<EmbeddedSpreadsheet>([](const QString&) { return SavePrompt::DontSave; });
  QObject::connect(sheet.get(), &EmbeddedSpreadsheet::saveFailed, sheet.get(), [&boxes](const kestrune::Error& error) {
    boxes.show(error.description, kestrune::MessageIcon::Critical);
  });
  if (!sheet->openWorkbook(path)) return nullptr;
  return sheet;
}

void BM_BackgroundSaveHeldTime(benchmark::State& state) {
  const auto rowsPerRequest = static_cast<std::int32_t>(state.range(0));
  QTemporaryDir dir;
  const QString path = QDir(dir.path()).filePath(QStringLiteral("run.xls"));
  kestrune::StderrMessageBoxes boxes;
  std::vector<double> requestRun, completionRun, requestFull, completionFull, saveFull, rowWrite;
  double foreground = 0, openEngine = 0, openApp = 0;
  int failed = 0;
  for (auto _ : state) {
    if (!kestrune::xls::Workbook::createEmpty().save(path.toStdString())) {
      state.SkipWithError("cannot create the workbook");
      return;
    }
    std::unique_ptr<EmbeddedSpreadsheet> sheet = openSheet(boxes, path);
    if (!sheet) {
      state.SkipWithError("cannot open the workbook");
      return;
    }
    int done = 0;
    QObject::connect(sheet.get(), &kestrune::sheet::SpreadsheetApp::backgroundSaveDone,
                     [&](bool saved, const QString&) {
                       ++done;
                       if (!saved) ++failed;
                     });
    // Events processed; the time held when they delivered a save's end.
    auto processEvents = [&](std::vector<double>& completions) {
      const int before = done;
      const Clock::time_point t = Clock::now();
      QCoreApplication::processEvents();
      if (done != before) completions.push_back(msSince(t));
    };

    for (std::int32_t row = 1; row <= Rows; ++row) {
      const Clock::time_point t = Clock::now();
      for (std::int32_t column = 1; column <= Columns; ++column)
        if (!sheet->setCellValue(row, column, cellValue(row, column))) state.SkipWithError("setCellValue failed");
      rowWrite.push_back(msSince(t));
      if (rowsPerRequest > 0 && row % rowsPerRequest == 0) {
        const Clock::time_point r = Clock::now();
        sheet->saveInBackground();
        requestRun.push_back(msSince(r));
      }
      processEvents(completionRun);
    }
    // Let the run's last saves end before the full-sheet rounds, a
    // coalesced one included.
    for (const Clock::time_point settled = Clock::now() + Settle; Clock::now() < settled;) {
      processEvents(completionRun);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }

    for (int i = 0; i < FullSheetSaves; ++i) {
      static_cast<void>(sheet->setCellValue(1, Columns + 1, std::int32_t{i}));
      const int target = done + 1;
      const Clock::time_point r = Clock::now();
      sheet->saveInBackground();
      requestFull.push_back(msSince(r));
      std::vector<double> handled;
      // The save has ended once its outcome is delivered: the saver is idle again.
      while (done < target) {
        processEvents(handled);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      saveFull.push_back(msSince(r));
      completionFull.insert(completionFull.end(), handled.begin(), handled.end());
    }

    static_cast<void>(sheet->setCellValue(1, Columns + 1, std::int32_t{-1}));
    Clock::time_point t = Clock::now();
    if (!sheet->saveActiveWorkbook()) state.SkipWithError("foreground save failed");
    foreground += msSince(t) / 1000.0;
    sheet->release();
    sheet.reset();

    t = Clock::now();
    benchmark::DoNotOptimize(kestrune::xls::Workbook::open(path.toStdString()).ok());
    openEngine += msSince(t) / 1000.0;
    t = Clock::now();
    sheet = openSheet(boxes, path);
    openApp += msSince(t) / 1000.0;
    if (!sheet) state.SkipWithError("cannot open the full workbook");
  }
  const auto n = static_cast<double>(state.iterations());
  report(state, "request_run", requestRun);
  report(state, "completion_run", completionRun);
  report(state, "request_full", requestFull);
  report(state, "completion_full", completionFull);
  report(state, "save_full", saveFull);
  report(state, "row_write", rowWrite);
  state.counters["row_write_over_10ms"] =
      static_cast<double>(std::count_if(rowWrite.begin(), rowWrite.end(), [](double ms) { return ms > 10; }));
  state.counters["failed_saves"] = failed;
  state.counters["foreground_save_full_s"] = foreground / n;
  state.counters["open_engine_s"] = openEngine / n;
  state.counters["open_app_s"] = openApp / n;
  state.counters["peak_rss_MB"] = peakRssMegabytes();
}
BENCHMARK(BM_BackgroundSaveHeldTime)
    ->ArgName("rows_per_request")
    ->Arg(256)
    ->Arg(0)
    ->Unit(benchmark::kSecond)
    ->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  // No window: the held time is the application's own, not a repaint's.
  QCoreApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
