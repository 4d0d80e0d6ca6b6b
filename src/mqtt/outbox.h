// The outbox: the messages waiting for the broker, in a text file in the
// settings folder ("mqtt-outbox"), so that rows taken while the broker could
// not be reached, or when this process ended, are sent after the next start.
//
// The file is UTF-8 text, one record per line, fields separated by tabs:
//   kestrune-mqtt-outbox 1
//   m <seq> <topic> <payload>   a message; seq grows by one per message
//   a <seq>                      every message up to <seq> was acknowledged
// A tab, line feed or backslash in the topic is written as \t, \n or \\; the
// payload is compact JSON, which holds none. A last line without its line
// feed (a write cut short) is ignored. Once every message is acknowledged the
// file is rewritten to its header and the last "a" line, which keeps the
// sequence going across restarts.
//
// One thread appends (the run's tick), another takes and acknowledges (the
// sender); the file is locked so a second process cannot share it.
#pragma once

#include "core/durable_log.h"
#include "core/result.h"
#include "mqtt/mqtt_error.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace kestrune::mqtt {

struct OutboxMessage {
  std::uint64_t seq = 0;
  QString topic;
  QByteArray payload;
};

// The records of an outbox file: the highest sequence number given, the
// highest acknowledged one, and the messages after that, in order.
struct OutboxContents {
  std::uint64_t lastSeq = 0;
  std::uint64_t ackedSeq = 0;
  std::deque<OutboxMessage> pending;
  // The length up to the last whole line that could be read.
  qsizetype completeBytes = 0;
};
Result<OutboxContents> parseOutbox(const QByteArray& bytes);

class Outbox {
public:
  Outbox() = default;
  ~Outbox();
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  // Opens (or creates) the outbox at `path` and locks it; a damaged tail is
  // cut off.
  Status open(const QString& path);
  bool isOpen() const { return log_.isOpen(); }
  const QString& path() const { return path_; }

  // Adds a message; `makePayload` is given its sequence number. Returns the
  // number, or an error when the file cannot be written (the message is
  // still sent while this process runs).
  template <typename MakePayload>
  Result<std::uint64_t> append(const QString& topic, MakePayload makePayload) {
    std::lock_guard lock(mutex_);
    const std::uint64_t seq = lastSeq_ + 1;
    return appendLocked(OutboxMessage{seq, topic, makePayload(seq)});
  }

  // The message after `seq` that is not acknowledged, if any.
  std::optional<OutboxMessage> after(std::uint64_t seq) const;
  // The first message not acknowledged is `ackedSeq() + 1`.
  std::uint64_t ackedSeq() const;
  std::uint64_t lastSeq() const;
  std::uint64_t queued() const;
  // The broker acknowledged every message up to `seq`.
  Status acknowledge(std::uint64_t seq);
  // Makes the file's contents durable (fdatasync); a failure goes to the
  // trace.
  void sync();
  void close();

private:
  Result<std::uint64_t> appendLocked(OutboxMessage message);
  Status rewriteLocked();

  QString path_;
  // The file, locked against a second process.
  DurableLog log_{DurableLog::Options{0600, true}};
  mutable std::mutex mutex_;
  std::uint64_t lastSeq_ = 0;
  std::uint64_t ackedSeq_ = 0;
  std::deque<OutboxMessage> pending_;
};

}  // namespace kestrune::mqtt
