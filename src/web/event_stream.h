// One client's server-sent event stream: what it has been sent of the feed,
// and the next bytes to send. Filled in the client's own connection thread,
// which waits on the feed for something new; nothing else waits for it.
#pragma once

#include "web/web_feed.h"

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

namespace kestrune::web {

class EventStream {
public:
  struct Timing {
    std::chrono::milliseconds keepAlive;
    std::chrono::milliseconds statusInterval;
    // Rows are sent together at most this often: a fast run wakes each
    // stream a few times a second, not once per row.
    std::chrono::milliseconds rowInterval;
  };
  // Rows told on connect after `lastEventId` (the browser's reconnect): at most this many.
  static constexpr std::uint64_t CatchUpRows = 10000;

  EventStream(const WebFeed& feed, const std::atomic<bool>& stopping, Timing timing,
              std::optional<std::uint64_t> lastEventId);

  // Copies up to `max` bytes of the stream into `buffer`, waiting for the
  // feed when there is nothing to send; 0 once the server stops.
  std::size_t read(char* buffer, std::size_t max);

private:
  using Clock = std::chrono::steady_clock;
  // Appends what changed since the last call; false when nothing did.
  bool collect(const WebFeed::Marks& marks, Clock::time_point now);
  void appendStatus();

  const WebFeed& feed_;
  const std::atomic<bool>& stopping_;
  Timing timing_;
  std::uint64_t run_ = 0;
  std::uint64_t lastSent_ = 0;
  std::uint64_t statusSent_ = 0;
  Clock::time_point statusAt_;
  Clock::time_point trafficAt_;
  Clock::time_point rowsAt_;  // when rows were last sent
  bool moreRows_ = false;     // the last batch stopped short of the run's end
  QByteArray pending_;
  qsizetype offset_ = 0;
};

}  // namespace kestrune::web
