// The worker's scheduling priority is set here (setpriority on its thread
// id, which Linux applies to that thread alone), and so is the C library
// allocator's tuning for long runs (<malloc.h>, glibc's).
#include "sheet/embedded/background_saver.h"

#include "sheet/xls/workbook.h"

#include <QMetaObject>

#include <utility>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

namespace kestrune::sheet::embedded {

namespace {

// The worker yields to the user-interface thread when both want a processor:
// a save may take a little longer, a tick must not wait for it.
constexpr int WorkerNice = 10;

// Buffers of a save (the file's bytes, its cell area) are megabytes large.
// By default glibc raises its mmap threshold to the largest block freed, so
// after the first save such buffers come from the heap, and what they leave
// there is not given back: a long run's memory stepped up at every save. A
// fixed threshold keeps them mapped on their own and unmapped when freed; a
// fixed trim threshold gives a heap's free top back past 1 MiB.
constexpr int MmapThreshold = 256 * 1024;
constexpr int TrimThreshold = 1024 * 1024;

void tuneAllocatorOnce() {
  static const bool tuned = [] {
    // Should either fail, the defaults stay: saves work the same, with more memory kept.
    static_cast<void>(::mallopt(M_MMAP_THRESHOLD, MmapThreshold));
    static_cast<void>(::mallopt(M_TRIM_THRESHOLD, TrimThreshold));
    return true;
  }();
  static_cast<void>(tuned);
}

}  // namespace

BackgroundSaver::BackgroundSaver(TakeSnapshot takeSnapshot, std::string path)
    : takeSnapshot_(std::move(takeSnapshot)), path_(std::move(path)) {
  tuneAllocatorOnce();
}

BackgroundSaver::~BackgroundSaver() {
  if (worker_.joinable()) worker_.join();
}

void BackgroundSaver::save() {
  if (worker_.joinable()) {
    waiting_ = true;
    return;
  }
  start();
}

void BackgroundSaver::start() {
  job_ = std::make_unique<Job>();
  job_->snapshot = takeSnapshot_();
  const quint64 id = ++jobId_;
  worker_ = std::thread([this, id, job = job_.get(), gate = writeGate_] {
    // Should that fail, the worker keeps the ordinary priority: saves work the same.
    static_cast<void>(::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), WorkerNice));
    run(path_, *job, gate);
    // Queued to the saver's thread; dropped if the saver is gone by then.
    QMetaObject::invokeMethod(
        this, [this, id] { ended(id); }, Qt::QueuedConnection);
  });
}

void BackgroundSaver::run(const std::string& path, Job& job, const std::function<void()>& gate) {
  if (gate) gate();
  job.outcome = job.snapshot.workbook->save(path);
  // Dropped here, on the worker: the parts the user-interface thread has
  // replaced meanwhile are freed off its thread, and the parts still shared
  // become its own again, so its next write clones nothing.
  job.snapshot.workbook.reset();
  // What the save freed in the middle of the heaps goes back to the system too.
  static_cast<void>(::malloc_trim(0));
}

void BackgroundSaver::ended(quint64 jobId) {
  if (worker_.joinable() && jobId == jobId_) finishRunning();
  if (waiting_ && !worker_.joinable()) {
    waiting_ = false;
    start();
  }
}

void BackgroundSaver::finishRunning() {
  if (!worker_.joinable()) return;
  worker_.join();
  // The job's ended() is queued already: it finds nothing left to finish and
  // starts a waiting save.
  const std::unique_ptr<Job> job = std::move(job_);
  emit saved(job->snapshot.changes, job->outcome);
}

bool BackgroundSaver::dropWaiting() { return std::exchange(waiting_, false); }

}  // namespace kestrune::sheet::embedded
