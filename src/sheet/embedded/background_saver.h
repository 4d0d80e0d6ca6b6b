// Saves the built-in application's workbook on a worker thread while the
// user-interface thread goes on writing into its own. A save starts from a
// snapshot: a copy of the workbook taken on the user-interface thread, which
// shares with that workbook every part neither of them changes (see
// xls::Workbook), so it costs the user-interface thread a few pointers per
// block of rows, however large the workbook. The worker saves the snapshot
// and drops it; writes made meanwhile go to parts of the workbook's own and
// never change what the save writes.
#pragma once

#include "sheet/xls/xls_result.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace kestrune::xls {
class Workbook;
}

namespace kestrune::sheet::embedded {

class BackgroundSaver final : public QObject {
  Q_OBJECT
public:
  // What a save writes: a copy of the workbook and its change count (see saved()).
  struct Snapshot {
    std::unique_ptr<xls::Workbook> workbook;
    quint64 changes = 0;
  };
  // Called on the user-interface thread as a save starts.
  using TakeSnapshot = std::function<Snapshot()>;

  // `path` is the file written (a symbolic link already resolved).
  BackgroundSaver(TakeSnapshot takeSnapshot, std::string path);
  // Waits for a running save; a waiting one is dropped.
  ~BackgroundSaver() override;

  // Saves a snapshot taken now. A request while a save runs becomes one more
  // save after it (however many came), from a snapshot taken when it starts.
  // saved() reports the change count the file then holds.
  void save();
  // Waits for the running save, if any, and reports it. A waiting save stays
  // waiting; it starts from the event loop.
  void finishRunning();
  // Forgets the waiting save, if any; true when there was one.
  bool dropWaiting();

  // Called on the worker before each write, for tests to hold a save there.
  void setWriteGate(std::function<void()> gate) { writeGate_ = std::move(gate); }

signals:
  // On the user-interface thread: a save ended. `changes` is the change count
  // the save wrote; a failure carries the engine's error.
  void saved(quint64 changes, const kestrune::xls::XlsStatus& outcome);

private:
  // One run of the worker.
  struct Job {
    Snapshot snapshot;
    xls::XlsStatus outcome;
  };

  void start();
  void ended(quint64 jobId);
  static void run(const std::string& path, Job& job, const std::function<void()>& gate);

  TakeSnapshot takeSnapshot_;
  std::string path_;
  std::thread worker_;
  std::unique_ptr<Job> job_;  // the running job, read back once the worker is joined
  quint64 jobId_ = 0;
  bool waiting_ = false;
  std::function<void()> writeGate_;
};

}  // namespace kestrune::sheet::embedded
