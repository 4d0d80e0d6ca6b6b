// The windows as a benchmark's run sees them: nothing shown, the real 10 ms
// timer started and stopped as the run window's is.
#pragma once

#include "app/run_control.h"
#include "sheet/spreadsheet_app.h"

#include <QCoreApplication>
#include <QTimer>

namespace kestrune::bench {

class TimedHost : public app::RunHost {
public:
  QTimer timer;
  void hideMainWindow() override {}
  void showMainWindow() override {}
  void loadRunWindow() override { timer.start(10); }
  void showRunWindow() override {}
  void closeRunWindow() override { timer.stop(); }
  void setRunMessage(const QString&) override {}
  void setRunError(const QString&) override {}
  void setNextVisible(bool, bool) override {}
  void setLogShown(bool) override {}
  void logAppended(const QString&, const QString&) override {}
  void showAcquisitionNo(const QString&) override {}
  void pumpEvents() override { QCoreApplication::processEvents(); }
};

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
};

}  // namespace kestrune::bench
