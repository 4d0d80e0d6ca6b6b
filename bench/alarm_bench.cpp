// The alarm monitor's cost per row: ten columns, each with a high, a low and
// a step rule, values mostly inside with a crossing now and then; and the
// cost of the state text a caller stores with each row.
// Run from a Release build: ./bench/alarm_bench
#include "core/alarm_monitor.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

using kestrune::AcquiredRow;
using kestrune::AcquiredValue;
using namespace kestrune::alarm;

constexpr int Columns = 10;
constexpr std::size_t Rows = 4096;

AlarmRules tenColumns() {
  AlarmRules rules;
  for (int c = 0; c < Columns; ++c)
    rules.columns.push_back(ColumnRule{.column = 4 + c, .low = -50, .high = 50, .step = 20, .margin = 2});
  rules.silenceSeconds = 60;
  return rules;
}

// Rows of a run: numbers around 0, about one value in a hundred far out.
std::vector<AcquiredRow> runRows() {
  std::mt19937 rng(1);
  std::normal_distribution<double> inside(0, 4);
  std::uniform_int_distribution<int> percent(0, 99);
  std::vector<AcquiredRow> rows(Rows);
  for (std::size_t r = 0; r < Rows; ++r) {
    AcquiredRow& row = rows[r];
    row.number = static_cast<std::int32_t>(r + 1);
    row.firstColumn = 3;
    row.row = static_cast<std::int32_t>(r + 1);
    row.sheet = QStringLiteral("Sheet1");
    for (int c = 0; c < Columns; ++c) {
      const double v = percent(rng) == 0 ? 80 : inside(rng);
      row.values.push_back(AcquiredValue{QString::number(v, 'f', 3), v});
    }
  }
  return rows;
}

// Each row through the monitor; with `saving`, its state text made after
// each row as a caller storing it with the row does.
void BM_TakeRow(benchmark::State& state, bool saving) {
  AlarmMonitor monitor(tenColumns());
  std::vector<AcquiredRow> rows = runRows();
  const QDateTime now = QDateTime::currentDateTime();
  std::uint64_t sequence = 0;
  std::size_t events = 0;
  std::size_t stateChars = 0;
  for (auto _ : state) {
    AcquiredRow& row = rows[sequence % Rows];
    row.sequence = ++sequence;
    row.elapsedMs = static_cast<std::int64_t>(sequence) * 10;
    const std::vector<AlarmEvent> raised = monitor.take(row, now);
    events += raised.size();
    benchmark::DoNotOptimize(raised.data());
    if (saving) stateChars += static_cast<std::size_t>(monitor.saveState().size());
  }
  state.counters["events_per_row"] = static_cast<double>(events) / static_cast<double>(sequence);
  if (saving) state.counters["state_chars"] = static_cast<double>(stateChars) / static_cast<double>(sequence);
  state.SetItemsProcessed(static_cast<std::int64_t>(sequence));
}
BENCHMARK_CAPTURE(BM_TakeRow, rows, false);
BENCHMARK_CAPTURE(BM_TakeRow, rows_and_saved_state, true);

}  // namespace

BENCHMARK_MAIN();
