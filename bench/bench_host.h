// What the benchmarks of a run share: the session's ticks on a timer of
// their own, and a spreadsheet application that keeps nothing.
#pragma once

#include "app/acquisition_session.h"
#include "sheet/spreadsheet_app.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <vector>

namespace kestrune::bench {

// The session of a benchmark's run: its messages dropped, its tick driven by
// the benchmark's own 10 ms timer so that each tick can be timed.
inline void driveTicks(app::AcquisitionSession& session, QTimer& timer) {
  session.setTickInterval(0);
  timer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&session, &app::AcquisitionSession::runStarted, &timer, [&timer] { timer.start(10); });
  QObject::connect(&session, &app::AcquisitionSession::runEnded, &timer, [&timer] { timer.stop(); });
}

// What each tick of a run cost, in ms: the time inside it, and how late it
// started beyond its 10 ms after the one before.
struct TickTimes {
  std::vector<double> work;
  std::vector<double> late;
};

// Drives the session's ticks on `timer` (driveTicks) and times each into `times`.
inline void timeTicks(app::AcquisitionSession& session, QTimer& timer, TickTimes& times) {
  driveTicks(session, timer);
  auto since = std::make_shared<QElapsedTimer>();
  since->start();
  auto lastStart = std::make_shared<qint64>(-1);
  QObject::connect(&timer, &QTimer::timeout, &timer, [&session, &times, since, lastStart] {
    const qint64 start = since->nsecsElapsed();
    session.tick();
    const qint64 end = since->nsecsElapsed();
    times.work.push_back(static_cast<double>(end - start) / 1e6);
    if (*lastStart >= 0) times.late.push_back(std::max(0.0, static_cast<double>(start - *lastStart) / 1e6 - 10.0));
    *lastStart = start;
  });
}

// A spreadsheet application that takes every operation and keeps nothing; a
// benchmark overrides setCellValue to note what it measures.
class NullSheet : public sheet::SpreadsheetApp {
public:
  Status openWorkbook(const QString&) override { return {}; }
  Status setVisible(bool) override { return {}; }
  Status setWindowStateNormal() override { return {}; }
  Status saveActiveWorkbook() override { return {}; }
  Status quit() override { return {}; }
  Status selectRange(const QString&) override { return {}; }
  Result<sheet::CellRef> activeCell() override { return sheet::CellRef{1, 1}; }
  Status selectCell(std::int32_t, std::int32_t) override { return {}; }
  Status setCellValue(std::int32_t, std::int32_t, const sheet::CellValue&) override { return {}; }
  Status markCell(std::int32_t, std::int32_t) override { return {}; }
};

}  // namespace kestrune::bench
