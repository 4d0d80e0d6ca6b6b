// The run record: the cost of one row handed to it (the caller's time) and
// of everything its writer thread then does for the row (the JSON, the
// chained SHA-256, the write and sync), as process CPU per row; and `kestrune
// verify` of a full sheet: 65,536 rows of 10 columns (number, stamp, eight
// values) written as the built-in application writes them, with their record.
// Run from a Release build: ./bench/verify_bench
#include "app/acquisition_session.h"
#include "app/run_record.h"
#include "app/verify_command.h"
#include "sheet/embedded/cell_text.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>

namespace {

using namespace kestrune;

constexpr int SheetRows = 65536;

std::vector<sheet::CellValue> cellsOf(int i) {
  std::vector<sheet::CellValue> cells{
      std::int32_t{i + 1},
      Stamp{QDateTime(QDate(2026, 12, 8), QTime(0, 0)).addMSecs(i * 137LL), Stamp::Kind::DateTime}};
  for (int v = 0; v < 7; ++v) cells.emplace_back(QString::number(i * 0.001 + v * 1.25, 'g', 12));
  cells.emplace_back(QStringLiteral("OK"));
  return cells;
}

AcquiredRow rowOf(const std::vector<sheet::CellValue>& cells, int i) {
  AcquiredRow row = app::rowFromCells(cells);
  row.sequence = static_cast<std::uint64_t>(i + 1);
  row.sheet = QStringLiteral("Sheet1");
  row.row = i + 1;
  row.firstColumn = 1;
  return row;
}

void RecordRow(benchmark::State& state) {
  QTemporaryDir dir;
  app::RunRecord record;
  if (!record.open(dir.filePath(QStringLiteral("b.xls.kestrune-record")), {}, QDateTime::currentDateTime()) ||
      !record.beginRun(QJsonObject{}))
    return state.SkipWithError("cannot open the record");
  int i = 0;
  const std::clock_t cpuBefore = std::clock();
  for (auto _ : state) {
    const AcquiredRow row = rowOf(cellsOf(i), i);
    ++i;
    if (!record.take(row)) return state.SkipWithError("append failed");
  }
  // The writer thread builds, writes and syncs the lines after take()
  // returns: the process's CPU up to the record's close is the whole cost.
  if (!record.endRun(QDateTime::currentDateTime()) || !record.close()) return state.SkipWithError("cannot close");
  const double cpuUs = 1e6 * static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
  state.counters["process_cpu_us_per_row"] = cpuUs / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(RecordRow)->Unit(benchmark::kMicrosecond);

void VerifyFullSheet(benchmark::State& state) {
  QTemporaryDir dir;
  const QString book = dir.filePath(QStringLiteral("full.xls"));
  {
    xls::Workbook workbook = xls::Workbook::createEmpty();
    app::RunRecord record;
    if (!record.open(app::recordPathFor(book), {}, QDateTime::currentDateTime()) || !record.beginRun(QJsonObject{}))
      return state.SkipWithError("cannot open the record");
    for (int i = 0; i < SheetRows; ++i) {
      const std::vector<sheet::CellValue> cells = cellsOf(i);
      for (std::size_t c = 0; c < cells.size(); ++c)
        if (!workbook.setCell(0, static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(c),
                              *sheet::embedded::toEngineValue(cells[c], false)))
          return state.SkipWithError("cannot write a cell");
      if (!record.take(rowOf(cells, i))) return state.SkipWithError("append failed");
    }
    if (!record.endRun(QDateTime::currentDateTime()) || !record.close() || !workbook.save(book.toStdString()))
      return state.SkipWithError("cannot save");
  }
  std::FILE* out = std::fopen("/dev/null", "w");
  for (auto _ : state)
    if (app::verifyMain({book}, out, stderr) != 0) state.SkipWithError("verify found differences");
  std::fclose(out);
}
BENCHMARK(VerifyFullSheet)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
