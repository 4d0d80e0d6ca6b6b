// The MQTT sink: completed rows go into the outbox at once (the caller never
// waits for the network), and a thread of its own connects to the broker,
// reconnects after a failure and publishes the outbox in order with QoS 1,
// recording each acknowledgement in the outbox.
#pragma once

#include "core/result.h"
#include "mqtt/mqtt_settings.h"
#include "mqtt/outbox.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

struct mosquitto;

namespace kestrune::mqtt {

// One connection attempt of the sender (sink.cpp).
struct SinkAttempt;

struct SinkOptions {
  // The wait before the next attempt after a failed or lost connection: it
  // doubles from the first to the longest.
  std::chrono::milliseconds retryFirst{500};
  std::chrono::milliseconds retryLongest{8000};
  // An attempt that has no answer from the broker by then is given up.
  std::chrono::milliseconds connectTimeout{10000};
  // Messages handed to the connection and not yet acknowledged, at most.
  int window = 64;
};

// What the sink shows: whether the broker is connected and how many rows wait.
struct SinkState {
  bool connected = false;
  std::uint64_t queued = 0;
  friend bool operator==(const SinkState&, const SinkState&) = default;
};

// The most a password file may hold: its first line is the password.
constexpr qint64 MostPasswordFileBytes = 4096;

// A failure of libmosquitto (`code`, a MOSQ_ERR_* value; `errorNumber` the
// errno of MOSQ_ERR_ERRNO) in Japanese, saying what to check, with the
// library's own English words after it in parentheses for support.
QString brokerErrorText(int code, int errorNumber = 0);
// The broker's refusal of a connection (a CONNACK return code), likewise.
QString refusalText(int connackCode);

class Sink {
public:
  Sink() = default;
  ~Sink();
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  // Opens the outbox at `outboxPath` and starts the sender for `settings`
  // (which must be enabled). Fails when the URL or the password file cannot
  // be used or the outbox cannot be opened; then nothing runs.
  Status start(const MqttSettings& settings, const QString& outboxPath, SinkOptions options = {});
  bool running() const { return sender_.joinable(); }

  // Queues a message for `topic`; `makePayload` builds it from its sequence
  // number. Never waits for the network.
  template <typename MakePayload>
  Status publish(const QString& topic, MakePayload makePayload) {
    auto seq = outbox_.append(topic, makePayload);
    wake();
    if (!seq) return seq.error();
    return {};
  }

  SinkState state() const { return {connected_.load(), outbox_.queued()}; }
  // What start() found worth a warning without refusing it (a password file
  // others may read); empty when nothing.
  const QString& warning() const { return warning_; }
  // Why the last connection attempt failed, empty when none did.
  QString lastError() const;

  // Waits at most `limit` for every queued message to be acknowledged while
  // the broker is connected; returns whether none is left.
  bool drain(std::chrono::milliseconds limit);
  // Stops the sender; what was not acknowledged stays in the outbox.
  void stop();

private:
  // The sender thread: attempt after attempt until stopped, each one
  // connecting, serving the broker while connected, and waiting before the
  // next one, longer after each failure.
  void run();
  // The steps of run(), in their order.
  static void blockPipeSignal();
  // A client for the broker with our callbacks and login; nullptr when none can be made.
  mosquitto* newClient(SinkAttempt& attempt);
  // Sets up TLS and starts connecting; the attempt's deadline runs from here.
  void connect(mosquitto* mosq, SinkAttempt& attempt);
  // Until the attempt fails, is refused, times out or loses its connection.
  void serve(mosquitto* mosq, SinkAttempt& attempt);
  void noteConnected(SinkAttempt& attempt);
  // Hands the queued messages to the connection, up to the window; false on failure.
  bool handOver(mosquitto* mosq, SinkAttempt& attempt);
  // Waits for the socket, a new row or PollMs; false when waiting fails.
  bool waitForTraffic(mosquitto* mosq, SinkAttempt& attempt);
  // Reads, writes and keeps the connection alive as the library needs.
  void exchange(mosquitto* mosq, SinkAttempt& attempt);
  // Records in the outbox the acknowledgements received in order.
  void recordAcknowledgements(SinkAttempt& attempt);
  // Whether the attempt is over: refused, lost after connecting, or not connected in time.
  bool attemptOver(const SinkAttempt& attempt);
  // Says why the attempt failed, shows no connection and frees the client.
  void endAttempt(mosquitto* mosq, const SinkAttempt& attempt);

  void wake();
  void notifyChanged();
  // Waits for `period` or until stopped; returns false when stopped.
  bool pause(std::chrono::milliseconds period);
  void setError(const QString& text);

  MqttSettings settings_;
  BrokerAddress address_;
  QByteArray password_;
  SinkOptions options_;
  Outbox outbox_;
  std::thread sender_;
  std::atomic<bool> connected_{false};
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  QString lastError_;
  QString warning_;
  int wakeFds_[2] = {-1, -1};
};

}  // namespace kestrune::mqtt
