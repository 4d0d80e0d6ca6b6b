// The windows as a benchmark's run sees them: nothing shown, the real 10 ms
// timer started and stopped as the run window's is.
#pragma once

#include "app/run_control.h"

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

}  // namespace kestrune::bench
