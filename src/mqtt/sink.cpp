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

}  // namespace

// One connection attempt: its bookkeeping, shared with libmosquitto's
// callbacks, and the last result of the library.
struct SinkAttempt {
  bool connected = false;
  bool wasConnected = false;  // connected at some point of this attempt
  bool refused = false;
  int refusal = 0;
  std::map<int, std::uint64_t> inFlight;  // message id to sequence number
  std::set<std::uint64_t> acknowledged;   // acknowledged past the first gap
  std::uint64_t handed = 0;               // the last sequence number handed over
  // An attempt that has not connected by then is given up.
  std::chrono::steady_clock::time_point deadline;
  bool readable = false;  // the socket has something to read, or hung up
  int rc = MOSQ_ERR_SUCCESS;
  int failedErrno = 0;  // the errno of a MOSQ_ERR_ERRNO

  bool ok() const { return rc == MOSQ_ERR_SUCCESS; }
  // Keeps the library's `result`, and the errno of a MOSQ_ERR_ERRNO before
  // anything else can change it.
  void keep(int result) {
    if (result == MOSQ_ERR_ERRNO) failedErrno = errno;
    rc = result;
  }
};

namespace {

void onConnect(mosquitto*, void* user, int rc) {
  auto& c = *static_cast<SinkAttempt*>(user);
  c.connected = rc == 0;
  c.refused = rc != 0;
  c.refusal = rc;
}

void onPublish(mosquitto*, void* user, int mid) {
  auto& c = *static_cast<SinkAttempt*>(user);
  if (auto it = c.inFlight.find(mid); it != c.inFlight.end()) {
    c.acknowledged.insert(it->second);
    c.inFlight.erase(it);
  }
}

void onDisconnect(mosquitto*, void* user, int) { static_cast<SinkAttempt*>(user)->connected = false; }

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
      return fail(MqttError::PasswordUnusable, MsgPasswordMissing.arg(path));
    case PlainFileState::Link:
    case PlainFileState::NotRegular:
      return fail(MqttError::PasswordUnusable, MsgPasswordNotFile.arg(path));
    case PlainFileState::TooLarge:
      return fail(MqttError::PasswordUnusable, MsgPasswordTooLarge.arg(path).arg(MostPasswordFileBytes));
    case PlainFileState::Unreadable:
      return fail(MqttError::PasswordUnusable,
                  MsgNoPassword.arg(path, QString::fromLocal8Bit(std::strerror(file.errorNumber))));
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
    return fail(MqttError::SenderNotStarted, MsgNoPipe);
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
  blockPipeSignal();
  auto retry = options_.retryFirst;
  while (!stopping_) {
    SinkAttempt attempt;
    attempt.handed = outbox_.ackedSeq();
    mosquitto* mosq = newClient(attempt);
    if (!mosq) {
      setError(QStringLiteral("mosquitto_new"));
      if (!pause(retry)) break;
      continue;
    }
    connect(mosq, attempt);
    serve(mosq, attempt);
    // A connection that was made starts the back-off over.
    if (attempt.wasConnected) retry = options_.retryFirst;
    endAttempt(mosq, attempt);
    if (stopping_ || !pause(retry)) break;
    retry = std::min(retry * 2, options_.retryLongest);
  }
}

void Sink::blockPipeSignal() {
  // A broker that closed the connection must not end the program through
  // SIGPIPE: blocked on this thread, a write gets EPIPE instead.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
}

mosquitto* Sink::newClient(SinkAttempt& attempt) {
  mosquitto* mosq = mosquitto_new(nullptr, true, &attempt);
  if (!mosq) return nullptr;
  mosquitto_connect_callback_set(mosq, onConnect);
  mosquitto_publish_callback_set(mosq, onPublish);
  mosquitto_disconnect_callback_set(mosq, onDisconnect);
  // Flow is limited by the window (handOver); the library sends what it is given.
  mosquitto_max_inflight_messages_set(mosq, 0);
  const QByteArray user = settings_.user.toUtf8();
  if (!user.isEmpty())
    mosquitto_username_pw_set(mosq, user.constData(), password_.isEmpty() ? nullptr : password_.constData());
  return mosq;
}

void Sink::connect(mosquitto* mosq, SinkAttempt& attempt) {
  if (address_.tls) {
    const QByteArray caFile = QFile::encodeName(settings_.caFile);
    attempt.rc = caFile.isEmpty() ? mosquitto_tls_set(mosq, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr)
                                  : mosquitto_tls_set(mosq, caFile.constData(), nullptr, nullptr, nullptr, nullptr);
    if (!attempt.ok()) attempt.rc = MOSQ_ERR_TLS;  // the CA file or folder cannot be used
  }
  const QByteArray host = address_.host.toUtf8();
  if (attempt.ok()) attempt.keep(mosquitto_connect_async(mosq, host.constData(), address_.port, KeepAliveSeconds));
  attempt.deadline = std::chrono::steady_clock::now() + options_.connectTimeout;
}

void Sink::serve(mosquitto* mosq, SinkAttempt& attempt) {
  while (attempt.ok() && !stopping_) {
    if (attempt.connected && !attempt.wasConnected) noteConnected(attempt);
    if (attempt.connected && !handOver(mosq, attempt)) break;
    if (!waitForTraffic(mosq, attempt)) break;
    exchange(mosq, attempt);
    recordAcknowledgements(attempt);
    if (attemptOver(attempt)) break;
  }
}

void Sink::noteConnected(SinkAttempt& attempt) {
  attempt.wasConnected = true;
  setError(QString());
  connected_ = true;
  notifyChanged();
}

bool Sink::handOver(mosquitto* mosq, SinkAttempt& attempt) {
  bool handedAny = false;
  while (attempt.inFlight.size() < static_cast<std::size_t>(options_.window)) {
    const auto next = outbox_.after(attempt.handed);
    if (!next) break;
    if (!handedAny) outbox_.sync();  // a message the broker has is also on the disk
    handedAny = true;
    const QByteArray topic = next->topic.toUtf8();
    int mid = 0;
    attempt.keep(mosquitto_publish(mosq, &mid, topic.constData(), static_cast<int>(next->payload.size()),
                                   next->payload.constData(), 1, false));
    if (!attempt.ok()) break;
    attempt.inFlight[mid] = next->seq;
    attempt.handed = next->seq;
  }
  return attempt.ok();
}

bool Sink::waitForTraffic(mosquitto* mosq, SinkAttempt& attempt) {
  pollfd fds[2] = {{mosquitto_socket(mosq), static_cast<short>(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0)), 0},
                   {wakeFds_[0], POLLIN, 0}};
  if (::poll(fds, 2, PollMs) < 0 && errno != EINTR) return false;
  if (fds[1].revents & POLLIN) {
    char bytes[64];
    while (::read(wakeFds_[0], bytes, sizeof bytes) > 0) {
    }
  }
  attempt.readable = (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  return true;
}

void Sink::exchange(mosquitto* mosq, SinkAttempt& attempt) {
  if (attempt.readable) attempt.keep(mosquitto_loop_read(mosq, 1));
  if (attempt.ok() && mosquitto_want_write(mosq)) attempt.keep(mosquitto_loop_write(mosq, 1));
  if (attempt.ok()) attempt.keep(mosquitto_loop_misc(mosq));
}

void Sink::recordAcknowledgements(SinkAttempt& attempt) {
  // Acknowledgements count in order: the first gap holds the rest back.
  std::uint64_t acked = outbox_.ackedSeq();
  while (!attempt.acknowledged.empty() && *attempt.acknowledged.begin() <= acked + 1) {
    acked = std::max(acked, *attempt.acknowledged.begin());
    attempt.acknowledged.erase(attempt.acknowledged.begin());
  }
  if (acked != outbox_.ackedSeq()) {
    if (Status recorded = outbox_.acknowledge(acked); !recorded) setError(recorded.description());
    notifyChanged();
  }
}

bool Sink::attemptOver(const SinkAttempt& attempt) {
  if (attempt.refused) {
    setError(refusalText(attempt.refusal));
    return true;
  }
  if (!attempt.connected && attempt.wasConnected) return true;
  if (!attempt.connected && std::chrono::steady_clock::now() > attempt.deadline) {
    setError(brokerErrorText(MOSQ_ERR_TIMEOUT));
    return true;
  }
  return false;
}

void Sink::endAttempt(mosquitto* mosq, const SinkAttempt& attempt) {
  if (!attempt.ok() && attempt.rc != MOSQ_ERR_NO_CONN) setError(brokerErrorText(attempt.rc, attempt.failedErrno));
  if (attempt.rc == MOSQ_ERR_NO_CONN && lastError().isEmpty()) setError(brokerErrorText(attempt.rc));
  connected_ = false;
  notifyChanged();
  mosquitto_destroy(mosq);
}

}  // namespace kestrune::mqtt
