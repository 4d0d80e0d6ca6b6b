#include "web/event_stream.h"

#include <algorithm>
#include <cstring>

namespace kestrune::web {

namespace {

// Rows taken from the feed at once: bounds the bytes held per client.
constexpr std::size_t RowsPerBatch = 256;
const QByteArray RunEvent("event: run\ndata: {}\n\n");

}  // namespace

EventStream::EventStream(const WebFeed& feed, const std::atomic<bool>& stopping, Timing timing,
                         std::optional<std::uint64_t> lastEventId)
    : feed_(feed), stopping_(stopping), timing_(timing) {
  const WebFeed::Marks marks = feed_.marks();
  run_ = marks.run;
  pending_ = "retry: 2000\n\n";
  statusSent_ = marks.status;
  appendStatus();
  lastSent_ = marks.lastSequence;
  if (lastEventId) {
    const std::uint64_t oldest = marks.lastSequence > CatchUpRows ? marks.lastSequence - CatchUpRows : 0;
    // An id beyond the run's rows is from an earlier run: the page starts over.
    if (*lastEventId > marks.lastSequence) pending_ += RunEvent;
    lastSent_ = *lastEventId > marks.lastSequence ? oldest : std::max(*lastEventId, oldest);
  }
  trafficAt_ = Clock::now();
}

void EventStream::appendStatus() {
  pending_ += "event: status\ndata: " + feed_.statusJson() + "\n\n";
  statusAt_ = Clock::now();
}

bool EventStream::collect(const WebFeed::Marks& marks, Clock::time_point now) {
  if (marks.run != run_) {
    pending_ += RunEvent;
    run_ = marks.run;
    lastSent_ = 0;
  }
  if (marks.lastSequence > lastSent_ && (moreRows_ || now - rowsAt_ >= timing_.rowInterval)) {
    const WebFeed::Rows rows = feed_.rowsAfter(lastSent_, RowsPerBatch);
    rowsAt_ = now;
    moreRows_ = rows.more;
    // Rows of a run begun since the marks were read wait for its run event.
    if (rows.run == run_) {
      for (std::size_t i = 0; i < rows.json.size(); ++i) {
        pending_ += "id: " + QByteArray::number(static_cast<qulonglong>(rows.sequences[i])) +
                    "\nevent: row\ndata: " + rows.json[i] + "\n\n";
        lastSent_ = rows.sequences[i];
      }
    }
  }
  if (marks.status != statusSent_ && now - statusAt_ >= timing_.statusInterval) {
    statusSent_ = marks.status;
    appendStatus();
  }
  return !pending_.isEmpty();
}

std::size_t EventStream::read(char* buffer, std::size_t max) {
  while (offset_ >= pending_.size()) {
    pending_.clear();
    offset_ = 0;
    const WebFeed::Marks marks = feed_.marks();
    // Read after the marks: stop() sets the flag before it wakes the feed,
    // so either the flag is seen here or the wait below returns at once.
    if (stopping_.load()) return 0;
    const Clock::time_point now = Clock::now();
    if (collect(marks, now)) break;
    if (now - trafficAt_ >= timing_.keepAlive) {
      pending_ = ": keep-alive\n\n";
      break;
    }
    Clock::time_point until = trafficAt_ + timing_.keepAlive;
    // Rows and a status held back by their intervals are sent when those
    // end; until then only the server's stop wakes the stream, so rows
    // arriving meanwhile cost it nothing.
    bool held = false;
    if (marks.lastSequence > lastSent_) {
      until = std::min(until, rowsAt_ + timing_.rowInterval);
      held = true;
    }
    if (marks.status != statusSent_) {
      until = std::min(until, statusAt_ + timing_.statusInterval);
      held = true;
    }
    const auto timeout =
        std::max(std::chrono::ceil<std::chrono::milliseconds>(until - now), std::chrono::milliseconds(1));
    if (held)
      feed_.waitForWake(marks.wakes, timeout);
    else
      feed_.waitForChange(marks, timeout);
  }
  trafficAt_ = Clock::now();
  const std::size_t count = std::min(max, static_cast<std::size_t>(pending_.size() - offset_));
  std::memcpy(buffer, pending_.constData() + offset_, count);
  offset_ += static_cast<qsizetype>(count);
  return count;
}

}  // namespace kestrune::web
