#include "web/web_settings.h"

#include "core/conf_text.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <arpa/inet.h>  // inet_pton: numeric addresses, without a name lookup
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace kestrune::web {

namespace {

const QString MsgBadListen = QStringLiteral(
    "%1 は使えません。127.0.0.1:8080、[::1]:8080、0.0.0.0:8443、[::]:8443、localhost:8080 の形（ポートは 1 から "
    "65535）で指定してください");
const QString MsgNoFile = QStringLiteral("ファイル %1 がありません");
const QString MsgTokenOpen = QStringLiteral("アクセス用のトークンファイル %1 を作れないか読めません");
const QString MsgTokenOpenMode = QStringLiteral(
    "アクセス用のトークンファイル %1 はほかのユーザーも読み書きできます（権限 %2）。chmod 600 %1 "
    "にしてください");
const QString MsgTokenBad = QStringLiteral(
    "アクセス用のトークンファイル %1 に 16 進数 64 桁のトークンがありません。ファイルを消すと新しく作ります");

constexpr int TokenBytes = 32;
constexpr int TokenDigits = 2 * TokenBytes;

bool isHexDigits(const QByteArray& text) {
  for (const char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

QString systemReason() { return QString::fromLocal8Bit(std::strerror(errno)); }

QByteArray newToken() {
  std::array<quint32, TokenBytes / 4> words{};
  QRandomGenerator::system()->fillRange(words.data(), words.size());
  return QByteArray(reinterpret_cast<const char*>(words.data()), TokenBytes).toHex();
}

// Writes a new token into a file that did not exist, created with mode 0600.
Result<QByteArray> createToken(const QString& path) {
  const QByteArray name = QFile::encodeName(path);
  const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return fail(WebError::TokenUnusable, MsgTokenOpen.arg(path), systemReason());
  const QByteArray token = newToken();
  const QByteArray line = token + '\n';
  const bool written = ::write(fd, line.constData(), static_cast<size_t>(line.size())) == line.size();
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  if (!written || !synced) {
    ::unlink(name.constData());
    return fail(WebError::TokenUnusable, MsgTokenOpen.arg(path), systemReason());
  }
  return token;
}

}  // namespace

bool ListenAddress::loopback() const {
  if (ipv6) {
    in6_addr address{};
    if (::inet_pton(AF_INET6, host.toLatin1().constData(), &address) != 1) return false;
    if (IN6_IS_ADDR_LOOPBACK(&address)) return true;
    return IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127;
  }
  return host.startsWith(QStringLiteral("127."));
}

QString ListenAddress::text() const {
  return (ipv6 ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2")).arg(host).arg(port);
}

Result<ListenAddress> parseListen(const QString& text, bool allowAnyPort) {
  const Error refused = fail(WebError::BadListen, MsgBadListen.arg(text));
  const qsizetype colon = text.lastIndexOf(QChar(':'));
  if (colon < 0) return refused;
  QString host = text.left(colon);
  const QString portText = text.mid(colon + 1);
  ListenAddress address;
  if (host.startsWith(QChar('[')) && host.endsWith(QChar(']'))) {
    host = host.mid(1, host.size() - 2);
    address.ipv6 = true;
  } else if (host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0) {
    host = QStringLiteral("127.0.0.1");
  }
  std::array<unsigned char, sizeof(in6_addr)> scratch{};
  if (host.isEmpty() || host.contains(QChar('%')) ||
      ::inet_pton(address.ipv6 ? AF_INET6 : AF_INET, host.toLatin1().constData(), scratch.data()) != 1)
    return refused;
  // Digits only: toUInt would also take a sign or blanks.
  bool number = !portText.isEmpty() && portText.size() <= 5;
  for (const QChar c : portText) number = number && c >= QChar('0') && c <= QChar('9');
  const uint port = number ? portText.toUInt() : 0;
  if (!number || port > 65535 || (port == 0 && !allowAnyPort)) return refused;
  address.host = host;
  address.port = static_cast<std::uint16_t>(port);
  return address;
}

QStringList settingKeys() { return {KeyListen, KeyCertFile, KeyKeyFile}; }

Status checkSetting(const QString& key, const QString& value) {
  if (value.isEmpty()) return {};
  if (conf::hasControlCharacter(value)) return fail(WebError::ControlCharacter, conf::controlCharacterMessage(key));
  if (key == KeyListen) {
    if (auto address = parseListen(value); !address) return address.error();
    return {};
  }
  if (key == KeyCertFile || key == KeyKeyFile) {
    if (!QFileInfo(value).isFile()) return fail(WebError::FileMissing, MsgNoFile.arg(value));
  }
  return {};
}

QString settingValue(const WebSettings& settings, const QString& key) {
  if (key == KeyListen) return settings.listen;
  if (key == KeyCertFile) return settings.certFile;
  if (key == KeyKeyFile) return settings.keyFile;
  return {};
}

void setSettingValue(WebSettings& settings, const QString& key, const QString& value) {
  if (key == KeyListen) settings.listen = value;
  if (key == KeyCertFile) settings.certFile = value;
  if (key == KeyKeyFile) settings.keyFile = value;
}

Status assignSetting(WebSettings& settings, const QString& key, const QString& value) {
  if (Status checked = checkSetting(key, value); !checked) return checked;
  const bool file = key == KeyCertFile || key == KeyKeyFile;
  setSettingValue(settings, key, file && !value.isEmpty() ? QFileInfo(value).absoluteFilePath() : value);
  return {};
}

WebSettings parseConf(const QByteArray& text) {
  WebSettings settings;
  const conf::Values values = conf::partValues(text, conf::Part());
  for (const QString& key : settingKeys())
    if (values.contains(key)) setSettingValue(settings, key, values.value(key));
  return settings;
}

Result<WebSettings> readConf(const QString& path) {
  const Result<QByteArray> text = conf::readConfText(path);
  if (!text) return fail(WebError::ConfUnreadable, text.error().description, text.error().detail);
  return parseConf(*text);
}

Status writeConf(const QString& path, const WebSettings& settings) {
  conf::Changes changes;
  for (const QString& key : settingKeys()) changes.append({key, settingValue(settings, key)});
  if (Status storable = conf::checkChanges(changes); !storable) return storable;
  const Result<QByteArray> text = conf::readConfText(path);
  if (!text) return fail(WebError::ConfUnreadable, text.error().description, text.error().detail);
  return conf::writeConfText(path, conf::updatedPart(*text, conf::Part(), changes));
}

Result<QByteArray> loadOrCreateToken(const QString& settingsFolder) {
  const QString path = settingsFolder + QStringLiteral("/") + TokenFileName;
  const QByteArray name = QFile::encodeName(path);
  const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0 && errno == ENOENT) return createToken(path);
  if (fd < 0) return fail(WebError::TokenUnusable, MsgTokenOpen.arg(path), systemReason());
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return fail(WebError::TokenUnusable, MsgTokenOpen.arg(path));
  }
  if ((info.st_mode & 077) != 0) {
    ::close(fd);
    const QString mode = QStringLiteral("%1").arg(info.st_mode & 0777, 4, 8, QChar('0'));
    return fail(WebError::TokenUnusable, MsgTokenOpenMode.arg(path, mode));
  }
  std::array<char, TokenDigits + 4> buffer{};
  const ssize_t got = ::read(fd, buffer.data(), buffer.size());
  ::close(fd);
  const QByteArray token = QByteArray(buffer.data(), got > 0 ? got : 0).trimmed();
  if (token.size() != TokenDigits || !isHexDigits(token)) return fail(WebError::TokenUnusable, MsgTokenBad.arg(path));
  return token.toLower();
}

bool tokenMatches(const QByteArray& token, const QByteArray& given) {
  if (token.isEmpty() || given.size() != token.size()) return false;
  unsigned char difference = 0;
  for (qsizetype i = 0; i < token.size(); ++i) difference |= static_cast<unsigned char>(token[i] ^ given[i]);
  return difference == 0;
}

}  // namespace kestrune::web
