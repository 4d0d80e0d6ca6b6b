#include "test_broker.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QThread>
#include <QUuid>

#include <mosquitto.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrune::mqtt::testing {

namespace {

std::uint16_t freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  std::uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

bool accepts(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

QString mosquittoPath() {
  QString path = QStandardPaths::findExecutable(QStringLiteral("mosquitto"));
  if (path.isEmpty()) path = QStandardPaths::findExecutable(QStringLiteral("mosquitto"), {QStringLiteral("/usr/sbin")});
  return path;
}

TestBroker::TestBroker() : port_(freePort()) {
  QFile conf(dir_.filePath(QStringLiteral("mosquitto.conf")));
  if (conf.open(QIODevice::WriteOnly))
    // With persistence, a broker killed after save() and started again still
    // has the subscriber's session and queues what arrives for it.
    conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence true\n"
                              "persistence_location %2/\n"
                              "max_queued_messages 0\n")
                   .arg(port_)
                   .arg(dir_.path())
                   .toUtf8() +
               // Started by root, mosquitto would change to its own user, which
               // cannot write into this folder.
               (::geteuid() == 0 ? QByteArray("user root\n") : QByteArray()));
}

TestBroker::~TestBroker() { kill(); }

bool TestBroker::start() {
  process_.setProgram(mosquittoPath());
  process_.setArguments({QStringLiteral("-c"), dir_.filePath(QStringLiteral("mosquitto.conf"))});
  process_.setProcessChannelMode(QProcess::MergedChannels);
  process_.setStandardOutputFile(dir_.filePath(QStringLiteral("broker.log")), QIODevice::Append);
  process_.start();
  if (!process_.waitForStarted(5000)) return false;
  for (QDeadlineTimer deadline(10000); !deadline.hasExpired(); QThread::msleep(20))
    if (accepts(port_)) return true;
  return false;
}

bool TestBroker::save() {
  const QString db = dir_.filePath(QStringLiteral("mosquitto.db"));
  QFile::remove(db);
  if (process_.state() != QProcess::Running) return false;
  ::kill(static_cast<pid_t>(process_.processId()), SIGUSR1);
  for (QDeadlineTimer deadline(10000); !deadline.hasExpired(); QThread::msleep(20))
    if (QFileInfo(db).size() > 0) return true;
  return false;
}

void TestBroker::kill() {
  if (process_.state() == QProcess::NotRunning) return;
  process_.kill();
  process_.waitForFinished(5000);
}

QString TestBroker::url() const { return QStringLiteral("mqtt://127.0.0.1:%1").arg(port_); }

Subscriber::Subscriber(std::uint16_t port, const QString& filter) : filter_(filter.toUtf8()) {
  mosquitto_lib_init();
  const QByteArray id = "test-sub-" + QUuid::createUuid().toByteArray(QUuid::Id128).left(16);
  mosq_ = mosquitto_new(id.constData(), false, this);
  mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
    if (rc == 0) static_cast<Subscriber*>(self)->connected();
  });
  mosquitto_subscribe_callback_set(
      mosq_, [](mosquitto*, void* self, int, int, const int*) { static_cast<Subscriber*>(self)->subscribed(); });
  mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
    static_cast<Subscriber*>(self)->message(m->topic, m->payload, m->payloadlen);
  });
  mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
  mosquitto_connect_async(mosq_, "127.0.0.1", port, 30);
  mosquitto_loop_start(mosq_);
}

Subscriber::~Subscriber() {
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, true);
  mosquitto_destroy(mosq_);
}

void Subscriber::connected() { mosquitto_subscribe(mosq_, nullptr, filter_.constData(), 1); }

void Subscriber::subscribed() {
  std::lock_guard lock(mutex_);
  subscribed_ = true;
  changed_.notify_all();
}

void Subscriber::message(const char* topic, const void* payload, int length) {
  std::lock_guard lock(mutex_);
  messages_.push_back({QString::fromUtf8(topic), QByteArray(static_cast<const char*>(payload), length)});
  changed_.notify_all();
}

bool Subscriber::waitSubscribed(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [this] { return subscribed_; });
}

bool Subscriber::waitFor(const std::function<bool(const std::vector<Received>&)>& done,
                         std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return done(messages_); });
}

std::vector<Received> Subscriber::messages() {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<SeqValue> seqValues(const std::vector<Received>& messages) {
  std::vector<SeqValue> out;
  for (const Received& m : messages) {
    const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
    out.push_back({static_cast<std::uint64_t>(o.value(QStringLiteral("seq")).toInteger()),
                   o.value(QStringLiteral("values")).toArray().at(0).toInt()});
  }
  return out;
}

}  // namespace kestrune::mqtt::testing
