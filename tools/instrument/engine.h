// What the instrument sends and when: replies to received lines, stream lines
// and random bytes, as a queue of writes with due times. Pure logic over a
// Clock, so the tests drive it with a manual clock and no pseudo-terminal.
#pragma once

#include "instrument/lines.h"
#include "instrument/options.h"
#include "instrument/template.h"

#include <cstdint>
#include <ctime>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::instrument {

class Clock {
public:
  virtual ~Clock() = default;
  // Milliseconds of a clock that never goes back.
  virtual std::int64_t nowMs() = 0;
  // The local date and time for {date} and {time}.
  virtual std::tm localTime() = 0;
};

// One write to the device. `endsLine` marks the last write of a reply or a
// stream line; `due` is when it may go out.
struct Write {
  std::string bytes;
  std::int64_t due = 0;
  bool endsLine = false;
};

class Engine {
public:
  // Keeps references to both; the stream's first line is due one interval after construction.
  Engine(const Options& options, Clock& clock);

  // Takes received bytes; returns the completed lines, whose replies are now queued.
  std::vector<std::string> receive(std::string_view bytes);
  // Queues the stream lines that are due by now.
  void advance();
  // The next due write, if one is due by now and none is in flight.
  std::optional<Write> popDue();
  // The write from popDue has gone out in full.
  void written(const Write& write);

  // When the loop must look again (next write or stream line); none: wait for input.
  std::optional<std::int64_t> nextDeadline() const;
  // The end that --exit-after asks for has come.
  bool finished() const;

  std::uint64_t linesSent() const { return linesSent_; }
  std::size_t queued() const { return queue_.size(); }

  // Writes waiting beyond this make further stream lines be dropped, as a
  // line nobody reads is lost on a real serial line; replies are always kept.
  static constexpr std::size_t kMaxQueued = 256;

private:
  const Template* replyFor(std::string_view line) const;
  std::string compose(const Template& templ, std::string_view line);
  void schedule(std::string bytes, std::int64_t due);
  bool streamActive() const;

  const Options& options_;
  Clock& clock_;
  LineSplitter splitter_;
  Random random_;
  Random garbageRandom_;
  std::deque<Write> queue_;
  std::int64_t lastDue_;
  std::int64_t nextStream_;
  std::uint64_t counter_;
  std::uint64_t streamed_ = 0;
  std::uint64_t linesSent_ = 0;
  bool inFlight_ = false;
};

}  // namespace kestrune::instrument
