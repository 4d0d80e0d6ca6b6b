// A real mosquitto broker on 127.0.0.1 for the tests, on a free port with a
// configuration of its own, and a subscriber that collects what it receives.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

struct mosquitto;

namespace kestrune::mqtt::testing {

// The path of the mosquitto broker, empty when it is not installed.
QString mosquittoPath();

class TestBroker {
public:
  TestBroker();
  ~TestBroker();
  // Starts the broker (again, on the same port and with the same state
  // folder); waits until it accepts connections.
  bool start();
  // Writes the broker's state (sessions, subscriptions, queued messages) to
  // its database now (SIGUSR1) and waits until the file is there.
  bool save();
  // SIGKILL: no goodbye to any client.
  void kill();
  std::uint16_t port() const { return port_; }
  QString url() const;

private:
  QTemporaryDir dir_;
  QProcess process_;
  std::uint16_t port_ = 0;
};

struct Received {
  QString topic;
  QByteArray payload;
};

// A subscriber with a persistent session on the test broker (client id and
// QoS 1 kept by the broker across its restarts), so nothing published while
// this one reconnects is lost.
class Subscriber {
public:
  Subscriber(std::uint16_t port, const QString& filter);
  ~Subscriber();
  // Waits (up to `limit`) until the subscription is acknowledged.
  bool waitSubscribed(std::chrono::milliseconds limit);
  // Waits (up to `limit`) until `done` holds for the messages so far.
  bool waitFor(const std::function<bool(const std::vector<Received>&)>& done, std::chrono::milliseconds limit);
  std::vector<Received> messages();

  // libmosquitto's callbacks
  void connected();
  void subscribed();
  void message(const char* topic, const void* payload, int length);

private:
  mosquitto* mosq_ = nullptr;
  QByteArray filter_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Received> messages_;
  bool subscribed_ = false;
};

// Every "seq" and the first value of each message's "values", in arrival order.
struct SeqValue {
  std::uint64_t seq;
  int value;
};
std::vector<SeqValue> seqValues(const std::vector<Received>& messages);

}  // namespace kestrune::mqtt::testing
