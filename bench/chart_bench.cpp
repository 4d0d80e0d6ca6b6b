// The live chart: the model filled with 65,536 rows and reduced for drawing,
// the window's redraw at several sizes, and a whole run at 100 rows a second
// with the window open, timing the work each row costs the user-interface
// thread (storing the row, and the redraw the timer makes once a second).
// Run a Release build: ./build-release/bench/chart_bench
#include "app/acquisition_session.h"
#include "app/chart_model.h"
#include "app/chart_window.h"
#include "core/message_boxes.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

using namespace kestrune;

constexpr int FullRun = 65536;
constexpr int RowsPerSecond = 100;
constexpr int Pixels = 1000;

// Rows as a run with numbering and stamps gives them: the number, the stamp,
// then three numeric fields and a word, or `series` numeric fields.
class RowSource {
public:
  explicit RowSource(int series = 0) : series_(series) {}
  std::vector<sheet::CellValue> row(int i) {
    const QDateTime at = start_.addMSecs(static_cast<qint64>(i) * 1000 / RowsPerSecond);
    if (series_ > 0) {
      std::vector<sheet::CellValue> cells{std::int32_t{i + 1}, sheet::Stamp{at, sheet::Stamp::Kind::DateTime}};
      for (int s = 0; s < series_; ++s) cells.emplace_back(QString::number(s * 10.0 + noise_(random_), 'f', 3));
      return cells;
    }
    return {std::int32_t{i + 1},
            sheet::Stamp{at, sheet::Stamp::Kind::DateTime},
            QString::number(20.0 + noise_(random_), 'f', 3),
            QString::number(i % 500 == 0 ? 1e4 : noise_(random_) * 100.0, 'f', 1),
            QStringLiteral("OK"),
            QString::number(-3.0 + noise_(random_), 'E', 4)};
  }

private:
  int series_ = 0;
  QDateTime start_{QDate(2024, 5, 6), QTime(8, 0, 0)};
  std::mt19937 random_{5};
  std::normal_distribution<double> noise_{0.0, 1.0};
};

// The rows as the session hands them to the chart.
std::vector<AcquiredRow> makeRows(int count, int series = 0) {
  RowSource source(series);
  std::vector<AcquiredRow> rows;
  rows.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    AcquiredRow row = app::rowFromCells(source.row(i));
    row.elapsedMs = static_cast<std::int64_t>(i) * 1000 / RowsPerSecond;
    row.sequence = static_cast<std::uint64_t>(i) + 1;
    rows.push_back(std::move(row));
  }
  return rows;
}

void fill(app::ChartModel& model, const std::vector<AcquiredRow>& rows) {
  for (std::size_t i = 0; i < rows.size(); ++i) model.addRow(rows[i]);
}

void BM_ModelAddRows(benchmark::State& state) {
  const auto rows = makeRows(FullRun);
  for (auto _ : state) {
    app::ChartModel model;
    fill(model, rows);
    benchmark::DoNotOptimize(model.series().data());
  }
  state.SetItemsProcessed(state.iterations() * FullRun);
}
BENCHMARK(BM_ModelAddRows)->Unit(benchmark::kMillisecond);

// All series of a full run reduced to a 1000-pixel plot, on either axis.
void BM_ModelDecimate(benchmark::State& state) {
  app::ChartModel model;
  fill(model, makeRows(FullRun));
  model.setXAxis(state.range(0) == 0 ? app::ChartXAxis::Time : app::ChartXAxis::AcquisitionNo);
  const app::ChartRange x = *model.xRange();
  std::size_t points = 0;
  for (auto _ : state) {
    for (std::size_t s = 0; s < model.series().size(); ++s) {
      const QList<QPointF> line = model.decimated(s, x.min, x.max, Pixels);
      points = static_cast<std::size_t>(line.size());
      benchmark::DoNotOptimize(line.constData());
    }
  }
  state.counters["series"] = static_cast<double>(model.series().size());
  state.counters["points_per_series"] = static_cast<double>(points);
}
BENCHMARK(BM_ModelDecimate)->ArgName("number_axis")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// What the timer's redraw costs with `rows` rows: reduce and hand the lines
// to the chart, then paint the window.
void redrawAndPaint(app::ChartWindow& window) {
  window.redraw();
  window.repaint();
}

constexpr int Redraws = 40;

void BM_WindowRedraw(benchmark::State& state) {
  StderrMessageBoxes boxes;
  app::ChartWindow window(boxes);
  if (state.range(1) > 0) window.resize(static_cast<int>(state.range(1)), static_cast<int>(state.range(1)) * 3 / 5);
  window.show();
  QCoreApplication::processEvents();
  const auto count = static_cast<std::size_t>(state.range(0));
  const auto rows = makeRows(static_cast<int>(count) + Redraws, static_cast<int>(state.range(2)));
  if (state.range(3) > 0) {
    app::ChartPrefs prefs;
    prefs.windowMinutes = static_cast<int>(state.range(3));
    window.setPrefs(prefs);
  }
  // Alarm limits on every numeric column, and a raised alarm every so many rows.
  const auto alarms = static_cast<std::size_t>(state.range(4));
  if (alarms > 0) {
    alarm::AlarmRules rules;
    for (int column = 3; column < 13; ++column) rules.columns.push_back({.column = column, .low = -50.0, .high = 50.0});
    window.setAlarmRules(rules);
  }
  const auto add = [&](std::size_t i) {
    window.addRow(rows[i]);
    if (alarms == 0 || i % (FullRun / alarms) != 0) return;
    alarm::AlarmEvent raised;
    raised.column = 3;
    raised.sequence = rows[i].sequence;
    window.addAlarm(raised);
  };
  for (std::size_t i = 0; i < count; ++i) add(i);
  redrawAndPaint(window);
  QCoreApplication::processEvents();
  std::size_t next = count;
  for (auto _ : state) {
    // One more row each time, so every redraw has something new to draw.
    add(next++);
    redrawAndPaint(window);
  }
}
// Rows, the window's width (0: as it opens), numeric series (0: three and a
// word), the minutes shown while following (0: the whole run), and the alarms
// raised over a full run (with high and low limits on every column).
BENCHMARK(BM_WindowRedraw)
    ->ArgNames({"rows", "width", "series", "minutes", "alarms"})
    ->Args({1024, 0, 0, 0, 0})
    ->Args({16384, 0, 0, 0, 0})
    ->Args({FullRun, 0, 0, 0, 0})
    ->Args({FullRun, 1600, 0, 0, 0})
    ->Args({FullRun, 0, 10, 0, 0})
    ->Args({FullRun, 1600, 10, 0, 0})
    ->Args({FullRun, 0, 10, 1, 0})
    ->Args({FullRun, 0, 0, 0, 1000})
    ->Args({FullRun, 0, 10, 0, 1000})
    ->Iterations(Redraws)
    ->Unit(benchmark::kMillisecond);

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

// A whole run at 100 rows a second with the window open, in simulated time:
// every row is stored as the session hands it over, and every redraw interval
// of run time the redraw the timer would make is done and the window painted.
// Counters in microseconds: `row_*` the cost of handing over one row,
// `redraw_*` one redraw and paint; `ui_load_percent` the share of the user-
// interface thread the chart takes at this rate, averaged over the run.
void BM_RunAt100RowsPerSecond(benchmark::State& state) {
  StderrMessageBoxes boxes;
  const auto rows = makeRows(FullRun);
  constexpr int RowsPerRedraw = RowsPerSecond * app::ChartWindow::RedrawIntervalMs / 1000;
  std::vector<double> rowCost, redrawCost;
  for (auto _ : state) {
    app::ChartWindow window(boxes);
    window.show();
    QCoreApplication::processEvents();
    rowCost.clear();
    redrawCost.clear();
    QElapsedTimer clock;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      clock.start();
      window.addRow(rows[i]);
      rowCost.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e3);
      if ((i + 1) % RowsPerRedraw == 0) {
        clock.start();
        redrawAndPaint(window);
        redrawCost.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e3);
      }
    }
  }
  double total = 0.0;
  for (const double c : rowCost) total += c;
  for (const double c : redrawCost) total += c;
  const double runSeconds = static_cast<double>(rows.size()) / RowsPerSecond;
  state.counters["row_p50_us"] = percentile(rowCost, 0.5);
  state.counters["row_p99_us"] = percentile(rowCost, 0.99);
  state.counters["row_max_us"] = percentile(rowCost, 1.0);
  state.counters["redraw_p50_us"] = percentile(redrawCost, 0.5);
  state.counters["redraw_p99_us"] = percentile(redrawCost, 0.99);
  state.counters["redraw_max_us"] = percentile(redrawCost, 1.0);
  state.counters["ui_load_percent"] = total / 1e6 / runSeconds * 100.0;
}
BENCHMARK(BM_RunAt100RowsPerSecond)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

// The window benchmarks need a QApplication: on the offscreen platform
// unless QT_QPA_PLATFORM says otherwise.
int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
