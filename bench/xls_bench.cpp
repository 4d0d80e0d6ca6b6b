// Speed and memory of the .xls engine and of the built-in application:
//  - a full sheet (65,536 rows x 10 columns of text, numbers and dates)
//    written into a new workbook, saved, and opened again: goal under 1 s
//    together and a peak resident size under 100 MB;
//  - EmbeddedSpreadsheet::setCellValue per cell with its window shown
//    (offscreen), events processed after every row as during a run: goal
//    under 0.1 ms per cell.
// Run from a Release build: ./bench/xls_bench (add --benchmark_repetitions=5
// for spread). Peak memory is the process's ru_maxrss, so the engine
// benchmark runs first, before any window exists.
#include "full_sheet.h"
#include "sheet/embedded/embedded_spreadsheet.h"
#include "sheet/xls/workbook.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double peakRssMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

// The resident size now (second field of /proc/self/statm, in pages).
double currentRssMegabytes() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

using kestrune::bench::cellValue;
using kestrune::bench::Columns;
using kestrune::bench::Rows;

void BM_FullSheetWriteSaveOpen(benchmark::State& state) {
  QTemporaryDir dir;
  const std::string path = QDir(dir.path()).filePath(QStringLiteral("bench.xls")).toStdString();
  double write = 0, save = 0, open = 0;
  double rssWritten = 0, rssSaved = 0, rssOpened = 0;
  std::size_t fileCells = 0;
  for (auto _ : state) {
    Clock::time_point t = Clock::now();
    {
      kestrune::xls::Workbook book = kestrune::xls::Workbook::createEmpty();
      for (std::uint32_t r = 0; r < Rows; ++r)
        for (std::uint32_t c = 0; c < Columns; ++c)
          if (!book.setCell(0, r, c, cellValue(r, c))) state.SkipWithError("setCell failed");
      write += secondsSince(t);
      rssWritten = currentRssMegabytes();
      t = Clock::now();
      if (!book.save(path)) state.SkipWithError("save failed");
      save += secondsSince(t);
      rssSaved = currentRssMegabytes();
    }
    t = Clock::now();
    auto reopened = kestrune::xls::Workbook::open(path);
    open += secondsSince(t);
    if (!reopened) {
      state.SkipWithError("open failed");
      break;
    }
    fileCells = reopened->cells(0).size();
    rssOpened = currentRssMegabytes();
    benchmark::DoNotOptimize(fileCells);
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["write_s"] = write / n;
  state.counters["save_s"] = save / n;
  state.counters["open_s"] = open / n;
  state.counters["total_s"] = (write + save + open) / n;
  state.counters["cells_read"] = static_cast<double>(fileCells);
  state.counters["peak_rss_MB"] = peakRssMegabytes();
  state.counters["rss_written_MB"] = rssWritten;
  state.counters["rss_saved_MB"] = rssSaved;
  state.counters["rss_opened_MB"] = rssOpened;
}
BENCHMARK(BM_FullSheetWriteSaveOpen)->Unit(benchmark::kMillisecond)->Iterations(3);

// The same full sheet converted by LibreOffice (soffice --headless --convert-to
// xls), timed in the same run, next to our own write + save + open of it.
// Skipped where LibreOffice is not installed.
void BM_LibreOfficeConvertsTheSameSheet(benchmark::State& state) {
  if (std::system("command -v soffice > /dev/null 2>&1") != 0) {
    state.SkipWithError("LibreOffice (soffice) is not installed");
    return;
  }
  QTemporaryDir dir;
  const QString folder = dir.path();
  const std::string path = QDir(folder).filePath(QStringLiteral("bench.xls")).toStdString();
  Clock::time_point t = Clock::now();
  {
    kestrune::xls::Workbook book = kestrune::xls::Workbook::createEmpty();
    for (std::uint32_t r = 0; r < Rows; ++r)
      for (std::uint32_t c = 0; c < Columns; ++c) static_cast<void>(book.setCell(0, r, c, cellValue(r, c)));
    static_cast<void>(book.save(path));
  }
  benchmark::DoNotOptimize(kestrune::xls::Workbook::open(path).ok());
  const double ours = secondsSince(t);
  const std::string convert = "soffice -env:UserInstallation=file://" + folder.toStdString() +
                              "/profile --headless --norestore --convert-to xls --outdir '" + folder.toStdString() +
                              "/out' '" + path + "' > /dev/null 2>&1";
  // A first conversion creates LibreOffice's profile; it is not counted.
  if (std::system(convert.c_str()) != 0) state.SkipWithError("soffice failed");
  double libreOffice = 0;
  for (auto _ : state) {
    t = Clock::now();
    if (std::system(convert.c_str()) != 0) state.SkipWithError("soffice failed");
    libreOffice += secondsSince(t);
  }
  const double perRun = libreOffice / static_cast<double>(state.iterations());
  state.counters["kestrune_s"] = ours;
  state.counters["libreoffice_s"] = perRun;
  state.counters["ratio"] = perRun / ours;
}
BENCHMARK(BM_LibreOfficeConvertsTheSameSheet)->Unit(benchmark::kMillisecond)->Iterations(1);

// Made on first use, so the engine benchmark's memory is measured without
// it; main() destroys it before the program's static objects go.
std::unique_ptr<QApplication> widgets;

void ensureApplication() {
  static int argc = 1;
  static char name[] = "xls_bench";
  static char* argv[] = {name, nullptr};
  if (widgets) return;
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
  widgets = std::make_unique<QApplication>(argc, argv);
}

void BM_EmbeddedSetCellValue(benchmark::State& state) {
  ensureApplication();
  QTemporaryDir dir;
  const QString path = QDir(dir.path()).filePath(QStringLiteral("run.xls"));
  if (!kestrune::xls::Workbook::createEmpty().save(path.toStdString())) {
    state.SkipWithError("cannot create the workbook");
    return;
  }
  kestrune::sheet::embedded::EmbeddedSpreadsheet sheet(
      [](const QString&) { return kestrune::sheet::embedded::SavePrompt::DontSave; });
  if (!sheet.openWorkbook(path) || !sheet.setVisible(true)) {
    state.SkipWithError("cannot open the workbook");
    return;
  }
  QCoreApplication::processEvents();

  const kestrune::sheet::Stamp stamp{QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9)),
                                     kestrune::sheet::Stamp::Kind::DateTime};
  std::int32_t row = 1, column = 1;
  for (auto _ : state) {
    kestrune::sheet::CellValue value;
    switch (column % 4) {
      case 0:
        value = std::int32_t{row};
        break;
      case 1:
        value = QStringLiteral("12.5");
        break;
      case 2:
        value = stamp;
        break;
      default:
        value = QStringLiteral("text");
    }
    if (!sheet.setCellValue(row, column, value)) state.SkipWithError("setCellValue failed");
    if (++column > static_cast<std::int32_t>(Columns)) {
      // End of a row: move the cursor down and let the window repaint, as a run does.
      column = 1;
      row = row % static_cast<std::int32_t>(Rows) + 1;
      static_cast<void>(sheet.selectCell(row, 1));
      if (state.range(0) != 0) QCoreApplication::processEvents();
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["peak_rss_MB"] = peakRssMegabytes();
  sheet.release();
}
// Argument 0: the calls alone (the window is updated later); 1: the window
// repaints after every row of 10 cells, the cost a run really pays.
BENCHMARK(BM_EmbeddedSetCellValue)->ArgName("repaint_per_row")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  widgets.reset();
  return 0;
}
