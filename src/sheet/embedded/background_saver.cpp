// The worker's scheduling priority is set here (setpriority on its thread
// id, which Linux applies to that thread alone).
#include "sheet/embedded/background_saver.h"

#include "sheet/xls/workbook.h"

#include <QMetaObject>

#include <utility>

#include <sys/resource.h>
#include <unistd.h>

namespace kestrune::sheet::embedded {

namespace {

// Edits kept for the copy before they are applied without a save, so that a
// long run without background saves does not hold every write twice.
constexpr std::size_t CatchUpEdits = 65536;
// The worker yields to the user-interface thread when both want a processor:
// a save may take a little longer, a tick must not wait for it.
constexpr int WorkerNice = 10;

}  // namespace

BackgroundSaver::BackgroundSaver(std::unique_ptr<xls::Workbook> copy, std::string path)
    : copy_(std::move(copy)), path_(std::move(path)) {}

BackgroundSaver::~BackgroundSaver() {
  if (worker_.joinable()) worker_.join();
}

void BackgroundSaver::setCell(std::size_t sheet, std::uint32_t row, std::uint32_t column, xls::Value value,
                              quint64 changes) {
  record(Edit{Edit::Kind::Cell, static_cast<std::uint32_t>(sheet), row, column, std::move(value)}, changes);
}

void BackgroundSaver::setActiveCell(std::size_t sheet, std::uint32_t row, std::uint32_t column, quint64 changes) {
  record(Edit{Edit::Kind::ActiveCell, static_cast<std::uint32_t>(sheet), row, column, {}}, changes);
}

void BackgroundSaver::setActiveSheet(std::size_t sheet, quint64 changes) {
  record(Edit{Edit::Kind::ActiveSheet, static_cast<std::uint32_t>(sheet), 0, 0, {}}, changes);
}

void BackgroundSaver::ensureColumnWidth(std::size_t sheet, std::uint32_t column, std::uint16_t width, quint64 changes) {
  Edit edit{Edit::Kind::ColumnWidth, static_cast<std::uint32_t>(sheet), 0, column, {}};
  edit.width = width;
  record(std::move(edit), changes);
}

void BackgroundSaver::fillCell(std::size_t sheet, std::uint32_t row, std::uint32_t column, xls::Rgb colour,
                               quint64 changes) {
  Edit edit{Edit::Kind::Fill, static_cast<std::uint32_t>(sheet), row, column, {}};
  edit.fill = colour;
  record(std::move(edit), changes);
}

void BackgroundSaver::addWorksheet(std::size_t after, const std::string& name, quint64 changes) {
  record(Edit{Edit::Kind::AddSheet, static_cast<std::uint32_t>(after), 0, 0, name}, changes);
}

void BackgroundSaver::copyRows(std::size_t from, std::size_t to, std::uint32_t rows, quint64 changes) {
  record(Edit{Edit::Kind::CopyRows, static_cast<std::uint32_t>(from), rows, static_cast<std::uint32_t>(to), {}},
         changes);
}

void BackgroundSaver::record(Edit edit, quint64 changes) {
  edits_.push_back(std::move(edit));
  changes_ = changes;
  if (edits_.size() >= CatchUpEdits && !worker_.joinable()) start(false);
}

void BackgroundSaver::save() {
  if (worker_.joinable()) {
    waiting_ = true;
    return;
  }
  start(true);
}

void BackgroundSaver::start(bool write) {
  job_ = std::make_unique<Job>();
  job_->edits.swap(edits_);
  job_->write = write;
  job_->changes = changes_;
  const quint64 id = ++jobId_;
  worker_ = std::thread([this, id, job = job_.get(), copy = copy_.get(), gate = writeGate_] {
    // Should that fail, the worker keeps the ordinary priority: saves work the same.
    static_cast<void>(::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), WorkerNice));
    run(*copy, path_, *job, gate);
    // Queued to the saver's thread; dropped if the saver is gone by then.
    QMetaObject::invokeMethod(
        this, [this, id] { ended(id); }, Qt::QueuedConnection);
  });
}

void BackgroundSaver::run(xls::Workbook& copy, const std::string& path, Job& job, const std::function<void()>& gate) {
  // The edits succeeded or failed on the other workbook already; the copy,
  // being equal, does the same, so their results need no second look.
  for (const Edit& edit : job.edits) {
    switch (edit.kind) {
      case Edit::Kind::Cell:
        static_cast<void>(copy.setCell(edit.sheet, edit.row, edit.column, edit.value));
        break;
      case Edit::Kind::ActiveCell:
        static_cast<void>(copy.setActiveCell(edit.sheet, edit.row, edit.column));
        break;
      case Edit::Kind::ActiveSheet:
        static_cast<void>(copy.setActiveSheet(edit.sheet));
        break;
      case Edit::Kind::ColumnWidth:
        static_cast<void>(copy.ensureColumnWidth(edit.sheet, edit.column, edit.width));
        break;
      case Edit::Kind::Fill:
        static_cast<void>(copy.fillCell(edit.sheet, edit.row, edit.column, edit.fill));
        break;
      case Edit::Kind::AddSheet:
        static_cast<void>(copy.addWorksheet(edit.sheet, std::get<std::string>(edit.value)));
        break;
      case Edit::Kind::CopyRows:
        static_cast<void>(copy.copyRows(edit.sheet, edit.column, edit.row));
        break;
    }
  }
  // Freed here rather than on the user-interface thread.
  Edits().swap(job.edits);
  if (!job.write) return;
  if (gate) gate();
  job.outcome = copy.save(path);
}

void BackgroundSaver::ended(quint64 jobId) {
  if (worker_.joinable() && jobId == jobId_) finishRunning();
  if (waiting_ && !worker_.joinable()) {
    waiting_ = false;
    start(true);
  }
}

void BackgroundSaver::finishRunning() {
  if (!worker_.joinable()) return;
  worker_.join();
  // The job's ended() is queued already: it finds nothing left to finish and
  // starts a waiting save.
  const std::unique_ptr<Job> job = std::move(job_);
  if (job->write) emit saved(job->changes, job->outcome);
}

bool BackgroundSaver::dropWaiting() { return std::exchange(waiting_, false); }

}  // namespace kestrune::sheet::embedded
