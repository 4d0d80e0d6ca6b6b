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
//    also takes the lock.
// Memory, each in a process of its own (--benchmark_filter=NAME):
//  - BM_MakeFullSheet writes the 65,536 x 10 sheet to $KESTRUNE_BENCH_WORKBOOK
//    (default /tmp/kestrune_bench_full.xls) for the modes below.
//  - BM_OpenRss: resident memory after openWorkbook of that file minus before,
//    per cell, and beyond the file's own size.
//  - BM_RunRss: resident memory gained while a run writes 65,536 rows x 10
//    into an empty workbook, a background save every 1,024 rows (each
//    awaited, as in a run at a logger's pace) and a foreground save at the
//    end, per cell.
//  - BM_RepeatedSaveRss: that file open, one cell changed and a background save
//    awaited, 100 times: resident memory after the first save and after the
//    last, and the time the request held the user-interface thread.
// Run from a Release build: ./bench/background_save_bench
#include "core/message_boxes.h"
#include "sheet/embedded/embedded_spreadsheet.h"
#include "sheet/xls/workbook.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
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

// Resident memory now, from /proc/self/statm.
double rssMegabytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
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

// An empty workbook made at `path` and opened in the built-in application;
// none, with the benchmark skipped, when either fails.
std::unique_ptr<EmbeddedSpreadsheet> openEmptyWorkbook(benchmark::State& state, kestrune::StderrMessageBoxes& boxes,
                                                       const QString& path) {
  if (!kestrune::xls::Workbook::createEmpty().save(path.toStdString())) {
    state.SkipWithError("cannot create the workbook");
    return nullptr;
  }
  std::unique_ptr<EmbeddedSpreadsheet> sheet = openSheet(boxes, path);
  if (!sheet) state.SkipWithError("cannot open the workbook");
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
    std::unique_ptr<EmbeddedSpreadsheet> sheet = openEmptyWorkbook(state, boxes, path);
    if (!sheet) return;
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

QString fullSheetPath() {
  const QByteArray set = qgetenv("KESTRUNE_BENCH_WORKBOOK");
  return set.isEmpty() ? QStringLiteral("/tmp/kestrune_bench_full.xls") : QString::fromLocal8Bit(set);
}

// Writes rows [first, last] of the logger-like sheet; false when a write fails.
bool writeRows(EmbeddedSpreadsheet& sheet, std::int32_t first, std::int32_t last) {
  for (std::int32_t row = first; row <= last; ++row)
    for (std::int32_t column = 1; column <= Columns; ++column)
      if (!sheet.setCellValue(row, column, cellValue(row, column))) return false;
  return true;
}

// Waits until `done` reaches `target`, processing events.
void awaitSaves(const int& done, int target) {
  while (done < target) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

void BM_MakeFullSheet(benchmark::State& state) {
  const QString path = fullSheetPath();
  kestrune::StderrMessageBoxes boxes;
  for (auto _ : state) {
    if (!kestrune::xls::Workbook::createEmpty().save(path.toStdString())) {
      state.SkipWithError("cannot create the workbook");
      return;
    }
    std::unique_ptr<EmbeddedSpreadsheet> sheet = openSheet(boxes, path);
    if (!sheet || !writeRows(*sheet, 1, Rows) || !sheet->saveActiveWorkbook()) {
      state.SkipWithError("cannot write the full sheet");
      return;
    }
    sheet->release();
  }
  state.counters["file_MB"] = static_cast<double>(QFileInfo(path).size()) / (1024.0 * 1024.0);
}
BENCHMARK(BM_MakeFullSheet)->Unit(benchmark::kSecond)->Iterations(1);

void BM_OpenRss(benchmark::State& state) {
  const QString path = fullSheetPath();
  if (!QFileInfo::exists(path)) {
    state.SkipWithError("no full sheet: run BM_MakeFullSheet first");
    return;
  }
  kestrune::StderrMessageBoxes boxes;
  const double fileMb = static_cast<double>(QFileInfo(path).size()) / (1024.0 * 1024.0);
  const double cells = double{Rows} * Columns;
  for (auto _ : state) {
    const double before = rssMegabytes();
    const Clock::time_point t = Clock::now();
    std::unique_ptr<EmbeddedSpreadsheet> sheet = openSheet(boxes, path);
    const double openMs = msSince(t);
    const double after = rssMegabytes();
    if (!sheet) {
      state.SkipWithError("cannot open the full sheet");
      return;
    }
    const double added = (after - before) * 1024.0 * 1024.0;
    state.counters["file_MB"] = fileMb;
    state.counters["open_ms"] = openMs;
    state.counters["rss_before_MB"] = before;
    state.counters["rss_after_MB"] = after;
    state.counters["added_B_per_cell"] = added / cells;
    state.counters["beyond_file_B_per_cell"] = (added - fileMb * 1024.0 * 1024.0) / cells;
    sheet->release();
  }
}
BENCHMARK(BM_OpenRss)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_RunRss(benchmark::State& state) {
  const auto rowsPerRequest = static_cast<std::int32_t>(state.range(0));
  QTemporaryDir dir;
  const QString path = QDir(dir.path()).filePath(QStringLiteral("run.xls"));
  kestrune::StderrMessageBoxes boxes;
  for (auto _ : state) {
    std::unique_ptr<EmbeddedSpreadsheet> sheet = openEmptyWorkbook(state, boxes, path);
    if (!sheet) return;
    int done = 0;
    QObject::connect(sheet.get(), &kestrune::sheet::SpreadsheetApp::backgroundSaveDone,
                     [&](bool, const QString&) { ++done; });
    const double before = rssMegabytes();
    double peak = before;
    for (std::int32_t row = 1; row <= Rows; row += rowsPerRequest) {
      if (!writeRows(*sheet, row, std::min(Rows, row + rowsPerRequest - 1))) {
        state.SkipWithError("setCellValue failed");
        return;
      }
      // Rows come slowly in a real run: each save ends before the next is asked for.
      const int target = done + 1;
      sheet->saveInBackground();
      awaitSaves(done, target);
      peak = std::max(peak, rssMegabytes());
    }
    // The run ends as a run does: the last save in the foreground, after
    // the background one still running.
    if (!sheet->saveActiveWorkbook()) {
      state.SkipWithError("the last save failed");
      return;
    }
    QCoreApplication::processEvents();
    const double after = rssMegabytes();
    const double cells = double{Rows} * Columns;
    state.counters["rss_before_MB"] = before;
    state.counters["rss_after_MB"] = after;
    state.counters["rss_peak_MB"] = peak;
    state.counters["growth_B_per_cell"] = (after - before) * 1024.0 * 1024.0 / cells;
    state.counters["peak_growth_B_per_cell"] = (peak - before) * 1024.0 * 1024.0 / cells;
    state.counters["file_MB"] = static_cast<double>(QFileInfo(path).size()) / (1024.0 * 1024.0);
    sheet->release();
  }
}
BENCHMARK(BM_RunRss)->ArgName("rows_per_request")->Arg(1024)->Unit(benchmark::kSecond)->Iterations(1);

void BM_RepeatedSaveRss(benchmark::State& state) {
  const int saves = static_cast<int>(state.range(0));
  const QString source = fullSheetPath();
  QTemporaryDir dir;
  const QString path = QDir(dir.path()).filePath(QStringLiteral("full.xls"));
  if (!QFile::copy(source, path)) {
    state.SkipWithError("no full sheet: run BM_MakeFullSheet first");
    return;
  }
  kestrune::StderrMessageBoxes boxes;
  for (auto _ : state) {
    std::unique_ptr<EmbeddedSpreadsheet> sheet = openSheet(boxes, path);
    if (!sheet) {
      state.SkipWithError("cannot open the full sheet");
      return;
    }
    int done = 0;
    QObject::connect(sheet.get(), &kestrune::sheet::SpreadsheetApp::backgroundSaveDone,
                     [&](bool, const QString&) { ++done; });
    const double opened = rssMegabytes();
    std::vector<double> held, rss;
    for (int i = 0; i < saves; ++i) {
      static_cast<void>(sheet->setCellValue(1, Columns + 1, std::int32_t{i}));
      const Clock::time_point t = Clock::now();
      sheet->saveInBackground();
      held.push_back(msSince(t));
      awaitSaves(done, i + 1);
      rss.push_back(rssMegabytes());
    }
    report(state, "held", held);
    state.counters["rss_opened_MB"] = opened;
    state.counters["rss_after_first_MB"] = rss.front();
    state.counters["rss_after_10_MB"] = rss[std::min<std::size_t>(9, rss.size() - 1)];
    state.counters["rss_after_last_MB"] = rss.back();
    state.counters["rss_max_MB"] = *std::max_element(rss.begin(), rss.end());
    state.counters["last_over_first_pct"] = (rss.back() / rss.front() - 1.0) * 100.0;
    sheet->release();
  }
}
BENCHMARK(BM_RepeatedSaveRss)->ArgName("saves")->Arg(100)->Unit(benchmark::kSecond)->Iterations(1);

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
