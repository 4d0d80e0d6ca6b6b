// Saves the built-in application's workbook on a worker thread while the
// user-interface thread goes on writing into its own. The saver keeps a
// second copy of the workbook that only the worker touches; every edit made
// to the user-interface thread's workbook is recorded here and handed over
// with the next save, so a snapshot costs the user-interface thread no more
// than passing on a list, however large the workbook.
#pragma once

#include "sheet/xls/cell_fill.h"
#include "sheet/xls/value.h"
#include "sheet/xls/xls_result.h"

#include <QObject>

#include <cstdint>
#include <deque>
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
  // `copy` must equal the workbook the recorded edits are made to; `path` is
  // the file written (a symbolic link already resolved).
  BackgroundSaver(std::unique_ptr<xls::Workbook> copy, std::string path);
  // Waits for a running save; a waiting one is dropped.
  ~BackgroundSaver() override;

  // Edits already made to the user-interface thread's workbook, in order,
  // each with the change count of that workbook after it (see save()).
  void setCell(std::size_t sheet, std::uint32_t row, std::uint32_t column, xls::Value value, quint64 changes);
  void setActiveCell(std::size_t sheet, std::uint32_t row, std::uint32_t column, quint64 changes);
  void setActiveSheet(std::size_t sheet, quint64 changes);
  void ensureColumnWidth(std::size_t sheet, std::uint32_t column, std::uint16_t width, quint64 changes);
  void fillCell(std::size_t sheet, std::uint32_t row, std::uint32_t column, xls::Rgb colour, quint64 changes);
  void addWorksheet(std::size_t after, const std::string& name, quint64 changes);
  void copyRows(std::size_t from, std::size_t to, std::uint32_t rows, quint64 changes);

  // Saves the copy with every edit recorded until the save starts. A request
  // while a save runs becomes one more save after it (however many came).
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
  struct Edit {
    enum class Kind : std::uint8_t { Cell, ActiveCell, ActiveSheet, ColumnWidth, Fill, AddSheet, CopyRows };
    Kind kind = Kind::Cell;
    std::uint32_t sheet = 0, row = 0, column = 0;
    xls::Value value;
    std::uint16_t width = 0;
    xls::Rgb fill = {};
  };
  // Edits in a deque: it grows without moving what it holds, so a long list
  // (while a save runs) never costs the user-interface thread a large copy.
  using Edits = std::deque<Edit>;
  // One run of the worker: apply the edits, then write unless `write` is off.
  struct Job {
    Edits edits;
    bool write = true;
    quint64 changes = 0;
    xls::XlsStatus outcome;
  };

  void record(Edit edit, quint64 changes);
  void start(bool write);
  void ended(quint64 jobId);
  static void run(xls::Workbook& copy, const std::string& path, Job& job, const std::function<void()>& gate);

  std::unique_ptr<xls::Workbook> copy_;  // touched by the worker only while it runs
  std::string path_;
  Edits edits_;          // recorded since the last job started
  quint64 changes_ = 0;  // of the last recorded edit
  std::thread worker_;
  std::unique_ptr<Job> job_;  // the running job, read back once the worker is joined
  quint64 jobId_ = 0;
  bool waiting_ = false;
  std::function<void()> writeGate_;
};

}  // namespace kestrune::sheet::embedded
