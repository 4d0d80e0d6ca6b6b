#include "instrument/engine.h"

#include <algorithm>
#include <limits>

namespace kestrune::instrument {

namespace {
// Garbage bytes come from a generator of their own, so that adding --garbage
// leaves the {rand} numbers of a seed as they were.
constexpr std::uint64_t kGarbageSeedMix = 0x6A09E667F3BCC909ULL;
}  // namespace

Engine::Engine(const Options& options, Clock& clock)
    : options_(options),
      clock_(clock),
      random_(options.seed),
      garbageRandom_(options.seed ^ kGarbageSeedMix),
      lastDue_(std::numeric_limits<std::int64_t>::min() / 2),
      nextStream_(clock.nowMs() + options.intervalMs),
      counter_(options.start) {}

std::vector<std::string> Engine::receive(std::string_view bytes) {
  std::vector<std::string> lines = splitter_.feed(bytes);
  if (finished()) return lines;
  const std::int64_t now = clock_.nowMs();
  for (const std::string& line : lines) {
    if (const Template* reply = replyFor(line)) schedule(compose(*reply, line), now + options_.delayMs);
  }
  return lines;
}

void Engine::advance() {
  if (!streamActive()) return;
  const std::int64_t now = clock_.nowMs();
  if (nextStream_ > now) return;
  if (queue_.size() < kMaxQueued) schedule(compose(*options_.stream, {}), nextStream_);
  ++streamed_;
  // Keeps the cadence after a late wake-up; after a long stall, starts afresh.
  nextStream_ += options_.intervalMs;
  if (nextStream_ <= now) nextStream_ = now + options_.intervalMs;
}

std::optional<Write> Engine::popDue() {
  if (inFlight_ || finished() || queue_.empty() || queue_.front().due > clock_.nowMs()) return std::nullopt;
  Write write = std::move(queue_.front());
  queue_.pop_front();
  inFlight_ = true;
  return write;
}

void Engine::written(const Write& write) {
  inFlight_ = false;
  if (write.endsLine) ++linesSent_;
}

std::optional<std::int64_t> Engine::nextDeadline() const {
  std::optional<std::int64_t> deadline;
  if (finished()) return deadline;
  if (!inFlight_ && !queue_.empty()) deadline = queue_.front().due;
  if (streamActive()) deadline = deadline ? std::min(*deadline, nextStream_) : nextStream_;
  return deadline;
}

bool Engine::finished() const {
  if (options_.exitAfter == 0) return false;
  if (linesSent_ >= options_.exitAfter) return true;
  const bool streamEnded = options_.stream && options_.count > 0 && streamed_ >= options_.count;
  return streamEnded && queue_.empty() && !inFlight_;
}

bool Engine::streamActive() const {
  return options_.stream && (options_.count == 0 || streamed_ < options_.count) && !finished();
}

const Template* Engine::replyFor(std::string_view line) const {
  for (const Rule& rule : options_.rules)
    if (line.starts_with(rule.prefix)) return &rule.reply;
  return options_.defaultReply ? &*options_.defaultReply : nullptr;
}

std::string Engine::compose(const Template& templ, std::string_view line) {
  std::string bytes;
  for (std::size_t i = 0; i < options_.garbage; ++i) bytes += static_cast<char>(garbageRandom_.next() & 0xFF);
  ExpansionContext context;
  context.counter = counter_++;
  context.line = line;
  context.local = clock_.localTime();
  if (!options_.garbageOnly) bytes += expand(templ, context, random_) + options_.lineEnd;
  return bytes;
}

// Queues `bytes` as one write, or as pieces with --split. A reply never starts
// before the previous one has gone out, so replies keep their order.
void Engine::schedule(std::string bytes, std::int64_t due) {
  const std::int64_t gap = options_.splitSize > 0 ? options_.splitGapMs : 0;
  std::int64_t at = std::max(due, lastDue_ + gap);
  if (options_.splitSize == 0 || bytes.size() <= options_.splitSize) {
    queue_.push_back(Write{std::move(bytes), at, true});
  } else {
    for (std::size_t offset = 0; offset < bytes.size(); offset += options_.splitSize, at += gap) {
      const bool last = offset + options_.splitSize >= bytes.size();
      queue_.push_back(Write{bytes.substr(offset, options_.splitSize), at, last});
    }
    at -= gap;
  }
  lastDue_ = at;
}

}  // namespace kestrune::instrument
