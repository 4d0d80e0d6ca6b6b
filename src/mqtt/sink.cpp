#include "mqtt/sink.h"

#include "core/plain_file.h"

#include <QFile>

#include <map>
#include <set>

// libmosquitto is used in this file only. Its network loop is driven here,
// with poll() over its socket and a wake-up pipe, so that a new row is sent at
// once and every callback runs on the sender thread.
#include <mosquitto.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace kestrune::mqtt {

namespace {

const QString MsgNoPassword = QStringLiteral("パスワードファイル %1 を読めません：%2");
const QString MsgPasswordNotFile =
    QStringLiteral("パスワードファイル %1 は通常のファイルではありません（名前付きパイプやデバイスなど）");
const QString MsgPasswordTooLarge =
    QStringLiteral("パスワードファイル %1 が大きすぎます（%2 バイトまで。1 行目にパスワードだけを書いてください）");
const QString MsgPasswordMissing = QStringLiteral("パスワードファイル %1 がありません");
const QString MsgPasswordShared = QStringLiteral(
    "パスワードファイル %1 はほかのユーザーも読み書きできます（権限 %2）。chmod 600 %1 "
    "で本人だけが読めるようにしてください");

// What to check, by the kind of failure.
const QString CheckAddress = QStringLiteral("mqtt.url のアドレスとポート、ブローカーが動いているかを確かめてください");
const QString CheckNetwork = QStringLiteral("ネットワークの接続と mqtt.url のアドレスを確かめてください");
const QString CheckLogin = QStringLiteral("mqtt.user とパスワードファイル（mqtt.password-file）を確かめてください");
const QString CheckTls =
    QStringLiteral("CA 証明書ファイル（mqtt.ca-file）、ブローカーの証明書と mqtt.url のホスト名を確かめてください");
const QString CheckBroker = QStringLiteral("ブローカーの設定とログを確かめてください");
const QString MsgNoPipe = QStringLiteral("送信スレッドを起動できません");

constexpr int KeepAliveSeconds = 30;
constexpr int PollMs = 200;

// One connection's bookkeeping, shared with libmosquitto's callbacks.
struct Connection {
  bool connected = false;
  bool refused = false;
  int refusal = 0;
  std::map<int, std::uint64_t> inFlight;  // message id to sequence number
  std::set<std::uint64_t> acknowledged;   // acknowledged past the first gap
  std::uint64_t handed = 0;               // the last sequence number handed over
};

void onConnect(mosquitto*, void* user, int rc) {
  auto& c = *static_cast<Connection*>(user);
  c.connected = rc == 0;
  c.refused = rc != 0;
  c.refusal = rc;
}

void onPublish(mosquitto*, void* user, int mid) {
  auto& c = *static_cast<Connection*>(user);
  if (auto it = c.inFlight.find(mid); it != c.inFlight.end()) {
    c.acknowledged.insert(it->second);
    c.inFlight.erase(it);
  }
}

void onDisconnect(mosquitto*, void* user, int) { static_cast<Connection*>(user)->connected = false; }

QString withDetail(const QString& text, const QString& detail) {
  return detail.isEmpty() ? text : text + QStringLiteral("（") + detail + QStringLiteral("）");
}

QString errnoText(int errorNumber) {
  switch (errorNumber) {
    case ECONNREFUSED:
      return QStringLiteral("ブローカーが接続を受け付けません。") + CheckAddress;
    case ETIMEDOUT:
      return QStringLiteral("ブローカーへの接続が時間切れになりました。") + CheckNetwork;
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
      return QStringLiteral("ブローカーに届きません。") + CheckNetwork;
    case ECONNRESET:
    case EPIPE:
      return QStringLiteral("ブローカーが接続を切りました。") + CheckBroker;
    default:
      return QStringLiteral("ブローカーと通信できません。") + CheckNetwork;
  }
}

}  // namespace

QString brokerErrorText(int code, int errorNumber) {
  QString text;
  QString detail = QString::fromUtf8(mosquitto_strerror(code));
  switch (code) {
    case MOSQ_ERR_ERRNO:
      text = errnoText(errorNumber);
      detail = QString::fromLocal8Bit(std::strerror(errorNumber));
      break;
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_LOOKUP:
      text = QStringLiteral(
          "ブローカーのホスト名が見つかりません。mqtt.url のホスト名と、名前解決（DNS）を確かめてください");
      break;
    case MOSQ_ERR_CONN_REFUSED:
      text = QStringLiteral("ブローカーが接続を拒否しました。") + CheckLogin;
      break;
    case MOSQ_ERR_AUTH:
    case MOSQ_ERR_ACL_DENIED:
      text = QStringLiteral("ブローカーに認められませんでした。") + CheckLogin;
      break;
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
    case MOSQ_ERR_OCSP:
      text = QStringLiteral("TLS（mqtts）の接続を確立できません。") + CheckTls;
      break;
    case MOSQ_ERR_NO_CONN:
    case MOSQ_ERR_CONN_LOST:
    case MOSQ_ERR_KEEPALIVE:
      text = QStringLiteral("ブローカーとの接続が切れました。") + CheckNetwork;
      break;
    case MOSQ_ERR_TIMEOUT:
      text = QStringLiteral("ブローカーの応答がありません。") + CheckNetwork;
      break;
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_MALFORMED_PACKET:
    case MOSQ_ERR_NOT_SUPPORTED:
      text = QStringLiteral("ブローカーと MQTT のやりとりができません（MQTT ブローカーではないかもしれません）。") +
             CheckAddress;
      break;
    case MOSQ_ERR_PAYLOAD_SIZE:
    case MOSQ_ERR_OVERSIZE_PACKET:
      text = QStringLiteral("メッセージが大きすぎてブローカーに送れません。") + CheckBroker;
      break;
    case MOSQ_ERR_INVAL:
      text = QStringLiteral("MQTT の設定に使えない値があります。mqtt.url、mqtt.topic、mqtt.user を確かめてください");
      break;
    case MOSQ_ERR_NOMEM:
      text = QStringLiteral("メモリーが足りません");
      break;
    default:
      text = QStringLiteral("MQTT の送信でエラーが起きました。") + CheckBroker;
      break;
  }
  return withDetail(text, detail);
}

QString refusalText(int connackCode) {
  QString text;
  switch (connackCode) {
    case 1:  // unacceptable protocol version
      text = QStringLiteral("ブローカーがこの MQTT のバージョンを受け付けません。") + CheckBroker;
      break;
    case 2:  // identifier rejected
      text = QStringLiteral("ブローカーがクライアント ID を受け付けません。") + CheckBroker;
      break;
    case 3:  // server unavailable
      text = QStringLiteral("ブローカーが今は使えない状態です。しばらく待つか、") + CheckBroker;
      break;
    case 4:  // bad user name or password
      text = QStringLiteral("ユーザー名かパスワードが違います。") + CheckLogin;
      break;
    case 5:  // not authorised
      text = QStringLiteral("このユーザーは接続を許されていません。") + CheckLogin;
      break;
    default:
      text = QStringLiteral("ブローカーが接続を拒否しました。") + CheckBroker;
      break;
  }
  return withDetail(text, QString::fromUtf8(mosquitto_connack_string(connackCode)));
}

namespace {

// The first line of the password file, read as a plain short file: a named
// pipe or a device there would hold or flood us. A file others may read or
// write gives a warning.
Result<QByteArray> readPassword(const QString& path, QString& warning) {
  const PlainFile file = readPlainFile(path, MostPasswordFileBytes, Links::Follow);
  switch (file.state) {
    case PlainFileState::Missing:
      return fail(MsgPasswordMissing.arg(path));
    case PlainFileState::Link:
    case PlainFileState::NotRegular:
      return fail(MsgPasswordNotFile.arg(path));
    case PlainFileState::TooLarge:
      return fail(MsgPasswordTooLarge.arg(path).arg(MostPasswordFileBytes));
    case PlainFileState::Unreadable:
      return fail(MsgNoPassword.arg(path, QString::fromLocal8Bit(std::strerror(file.errorNumber))));
    case PlainFileState::Read:
      break;
  }
  if ((file.permissions & 077) != 0)
    warning = MsgPasswordShared.arg(path, QStringLiteral("%1").arg(file.permissions & 0777, 4, 8, QLatin1Char('0')));
  QByteArray password = file.bytes;
  // The first line is the password; a file written by echo ends in a line feed.
  if (const qsizetype end = password.indexOf('\n'); end >= 0) password.truncate(end);
  if (password.endsWith('\r')) password.chop(1);
  return password;
}

}  // namespace

Sink::~Sink() { stop(); }

Status Sink::start(const MqttSettings& settings, const QString& outboxPath, SinkOptions options) {
  stop();
  auto address = parseBrokerUrl(settings.url);
  if (!address) return address.error();
  QByteArray password;
  QString warning;
  if (!settings.passwordFile.isEmpty()) {
    Result<QByteArray> read = readPassword(settings.passwordFile, warning);
    if (!read) return read.error();
    password = *read;
  }
  if (Status opened = outbox_.open(outboxPath); !opened) return opened;
  if (::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) {
    outbox_.close();
    return fail(MsgNoPipe);
  }
  static std::once_flag initialised;
  std::call_once(initialised, [] { mosquitto_lib_init(); });
  settings_ = settings;
  address_ = *address;
  password_ = password;
  warning_ = warning;
  options_ = options;
  stopping_ = false;
  sender_ = std::thread([this] { run(); });
  return {};
}

void Sink::stop() {
  if (!sender_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  wake();
  sender_.join();
  ::close(wakeFds_[0]);
  ::close(wakeFds_[1]);
  wakeFds_[0] = wakeFds_[1] = -1;
  connected_ = false;
  outbox_.close();
}

void Sink::wake() {
  if (wakeFds_[1] < 0) return;
  const char byte = 1;
  // A full pipe already holds a wake-up: nothing is lost.
  [[maybe_unused]] const ssize_t n = ::write(wakeFds_[1], &byte, 1);
}

QString Sink::lastError() const {
  std::lock_guard lock(mutex_);
  return lastError_;
}

void Sink::setError(const QString& text) {
  std::lock_guard lock(mutex_);
  lastError_ = text;
}

// Taking the lock first: a waiter between its test and its wait cannot miss it.
void Sink::notifyChanged() {
  { std::lock_guard lock(mutex_); }
  changed_.notify_all();
}

bool Sink::pause(std::chrono::milliseconds period) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, period, [this] { return stopping_.load(); });
  return !stopping_;
}

bool Sink::drain(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::unique_lock lock(mutex_);
  changed_.wait_until(lock, deadline,
                      [this] { return outbox_.queued() == 0 || !connected_.load() || stopping_.load(); });
  return outbox_.queued() == 0;
}

void Sink::run() {
  // A broker that closed the connection must not end the program through
  // SIGPIPE: blocked on this thread, a write gets EPIPE instead.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

  const QByteArray host = address_.host.toUtf8();
  const QByteArray user = settings_.user.toUtf8();
  const QByteArray caFile = QFile::encodeName(settings_.caFile);
  auto retry = options_.retryFirst;
  while (!stopping_) {
    Connection c;
    c.handed = outbox_.ackedSeq();
    mosquitto* mosq = mosquitto_new(nullptr, true, &c);
    if (!mosq) {
      setError(QStringLiteral("mosquitto_new"));
      if (!pause(retry)) break;
      continue;
    }
    mosquitto_connect_callback_set(mosq, onConnect);
    mosquitto_publish_callback_set(mosq, onPublish);
    mosquitto_disconnect_callback_set(mosq, onDisconnect);
    // Flow is limited by the window below; the library sends what it is given.
    mosquitto_max_inflight_messages_set(mosq, 0);
    if (!user.isEmpty())
      mosquitto_username_pw_set(mosq, user.constData(), password_.isEmpty() ? nullptr : password_.constData());
    // errno of a MOSQ_ERR_ERRNO, taken before anything else can change it.
    int failedErrno = 0;
    const auto kept = [&failedErrno](int result) {
      if (result == MOSQ_ERR_ERRNO) failedErrno = errno;
      return result;
    };
    int rc = MOSQ_ERR_SUCCESS;
    if (address_.tls) {
      rc = caFile.isEmpty() ? mosquitto_tls_set(mosq, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr)
                            : mosquitto_tls_set(mosq, caFile.constData(), nullptr, nullptr, nullptr, nullptr);
      if (rc != MOSQ_ERR_SUCCESS) rc = MOSQ_ERR_TLS;  // the CA file or folder cannot be used
    }
    if (rc == MOSQ_ERR_SUCCESS)
      rc = kept(mosquitto_connect_async(mosq, host.constData(), address_.port, KeepAliveSeconds));
    bool wasConnected = false;
    const auto deadline = std::chrono::steady_clock::now() + options_.connectTimeout;
    while (rc == MOSQ_ERR_SUCCESS && !stopping_) {
      if (c.connected && !wasConnected) {
        wasConnected = true;
        retry = options_.retryFirst;
        setError(QString());
        connected_ = true;
        notifyChanged();
      }
      if (c.connected) {
        bool handedAny = false;
        while (c.inFlight.size() < static_cast<std::size_t>(options_.window)) {
          const auto next = outbox_.after(c.handed);
          if (!next) break;
          if (!handedAny) outbox_.sync();  // a message the broker has is also on the disk
          handedAny = true;
          const QByteArray topic = next->topic.toUtf8();
          int mid = 0;
          rc = kept(mosquitto_publish(mosq, &mid, topic.constData(), static_cast<int>(next->payload.size()),
                                      next->payload.constData(), 1, false));
          if (rc != MOSQ_ERR_SUCCESS) break;
          c.inFlight[mid] = next->seq;
          c.handed = next->seq;
        }
        if (rc != MOSQ_ERR_SUCCESS) break;
      }
      pollfd fds[2] = {
          {mosquitto_socket(mosq), static_cast<short>(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0)), 0},
          {wakeFds_[0], POLLIN, 0}};
      if (::poll(fds, 2, PollMs) < 0 && errno != EINTR) break;
      if (fds[1].revents & POLLIN) {
        char bytes[64];
        while (::read(wakeFds_[0], bytes, sizeof bytes) > 0) {
        }
      }
      if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) rc = kept(mosquitto_loop_read(mosq, 1));
      if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(mosq)) rc = kept(mosquitto_loop_write(mosq, 1));
      if (rc == MOSQ_ERR_SUCCESS) rc = kept(mosquitto_loop_misc(mosq));
      // Acknowledgements count in order: the first gap holds the rest back.
      std::uint64_t acked = outbox_.ackedSeq();
      while (!c.acknowledged.empty() && *c.acknowledged.begin() <= acked + 1) {
        acked = std::max(acked, *c.acknowledged.begin());
        c.acknowledged.erase(c.acknowledged.begin());
      }
      if (acked != outbox_.ackedSeq()) {
        if (Status recorded = outbox_.acknowledge(acked); !recorded) setError(recorded.description());
        notifyChanged();
      }
      if (c.refused) {
        setError(refusalText(c.refusal));
        break;
      }
      if (!c.connected && wasConnected) break;
      if (!c.connected && std::chrono::steady_clock::now() > deadline) {
        setError(brokerErrorText(MOSQ_ERR_TIMEOUT));
        break;
      }
    }
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) setError(brokerErrorText(rc, failedErrno));
    if (rc == MOSQ_ERR_NO_CONN && lastError().isEmpty()) setError(brokerErrorText(rc));
    connected_ = false;
    notifyChanged();
    mosquitto_destroy(mosq);
    if (stopping_ || !pause(retry)) break;
    retry = std::min(retry * 2, options_.retryLongest);
  }
}

}  // namespace kestrune::mqtt
