// What the web view shows, handed over by the main thread and read by the
// server's threads: the run's status (an opaque JSON object), every row of the
// run, and the workbook file. The main thread only copies under a short lock;
// the JSON and CSV texts are built in the server's threads, each row's JSON
// once.
#pragma once

#include "core/acquired_row.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrune::web {

// A stamp as the web view's JSON and CSV give it: "2026-12-08T09:05:03.120+09:00"
// (local time with its offset), "2026-12-08" for a date, "09:05:03.120" for a time.
QString stampText(const Stamp& stamp);
// {"sequence":…,"number":…,"stamp":…,"sheet":…,"row":…,"values":[…],"numbers":[…]}
QByteArray rowJson(const AcquiredRow& row);

class WebFeed {
public:
  // Counters a reader compares to learn what changed.
  struct Marks {
    std::uint64_t run = 0;           // one more for each beginRun
    std::uint64_t status = 0;        // one more for each setStatus
    std::uint64_t lastSequence = 0;  // the sequence of the run's last row, 0 before one
    std::uint64_t wakes = 0;         // one more for each wakeAll
    friend bool operator==(const Marks&, const Marks&) = default;
  };
  struct Rows {
    std::uint64_t run = 0;
    std::vector<std::uint64_t> sequences;  // oldest first
    std::vector<QByteArray> json;          // the same rows' JSON
    std::uint64_t lastSequence = 0;        // of the run, not of this batch
    bool more = false;                     // rows after the batch
  };

  WebFeed();
  ~WebFeed();
  WebFeed(const WebFeed&) = delete;
  WebFeed& operator=(const WebFeed&) = delete;

  // The main thread's side.
  void beginRun();
  void setStatus(const QJsonObject& status);
  void addRow(const AcquiredRow& row);
  void setWorkbookFile(const QString& path);

  // The server's side.
  Marks marks() const;
  // Returns once the marks differ from `seen`, or after `timeout`.
  Marks waitForChange(const Marks& seen, std::chrono::milliseconds timeout) const;
  // Returns once wakeAll has been called since `wakes` was read, or after `timeout`.
  void waitForWake(std::uint64_t wakes, std::chrono::milliseconds timeout) const;
  // Wakes every reader waiting in waitForChange or waitForWake (the server stopping).
  void wakeAll();
  // The status object's compact JSON ("{}" before one).
  QByteArray statusJson() const;
  // The rows with a sequence above `after`, at most `limit` of them.
  Rows rowsAfter(std::uint64_t after, std::size_t limit) const;
  QString workbookFile() const;
  // The run's rows as CSV: UTF-8 with a BOM, CRLF lines, a header line
  // sequence,number,stamp and then each value column's header or letters.
  QByteArray csv() const;

private:
  struct Entry {
    AcquiredRow row;
    mutable QByteArray json;  // built on first use, under jsonMutex_
  };
  struct Run {
    // A deque never moves its elements when it grows, so readers keep
    // pointers to entries after they let go of the lock.
    std::deque<Entry> entries;
  };

  std::vector<const Entry*> entriesAfter(std::uint64_t after, std::size_t limit, std::shared_ptr<const Run>& run,
                                         Marks& marks, bool& more) const;
  const QByteArray& jsonOf(const Entry& entry) const;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::shared_ptr<Run> run_;
  QJsonObject status_;
  QString workbookFile_;
  Marks marks_;

  // Held by the server's threads only, never by the main thread.
  mutable std::mutex jsonMutex_;
  mutable QByteArray statusJson_;
  mutable std::uint64_t statusJsonVersion_ = ~std::uint64_t{0};
};

}  // namespace kestrune::web
