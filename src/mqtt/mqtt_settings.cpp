#include "mqtt/mqtt_settings.h"

#include "core/plain_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QUrl>

#include <algorithm>
#include <cstring>

namespace kestrune::mqtt {

namespace {

const QString MsgBadUrl =
    QStringLiteral("%1 は使えません。mqtt://ホスト[:ポート] か mqtts://ホスト[:ポート] の形で指定してください");
const QString MsgNoFile = QStringLiteral("ファイル %1 がありません");
const QString MsgBadTopic = QStringLiteral("トピック %1 は使えません（空白以外の文字で、+ と # を含まないこと）");
const QString MsgCannotRead = QStringLiteral("%1 を読めません：%2");
const QString MsgCannotWrite = QStringLiteral("%1 に保存できませんでした：%2");
const QString MsgConfNotFile = QStringLiteral("通常のファイルではありません（名前付きパイプやデバイスなど）");
const QString MsgConfTooLarge = QStringLiteral("大きすぎます（%1 バイトまで）");
// kestrune.conf holds a few short lines.
constexpr qint64 MostConfBytes = 1024 * 1024;
const QString MsgControlCharacter = QStringLiteral(
    "%1 の値に制御文字（改行、タブなど）が含まれています。値は 1 行の、制御文字を含まない文字列にしてください");

}  // namespace

QStringList settingKeys() { return {KeyUrl, KeyTopic, KeyUser, KeyPasswordFile, KeyCaFile}; }

Result<BrokerAddress> parseBrokerUrl(const QString& url) {
  const QUrl parsed(url, QUrl::StrictMode);
  BrokerAddress address;
  const QString scheme = parsed.scheme().toLower();
  if (!parsed.isValid() || (scheme != QStringLiteral("mqtt") && scheme != QStringLiteral("mqtts")) ||
      parsed.host().isEmpty() || !parsed.userInfo().isEmpty() || (!parsed.path().isEmpty() && parsed.path() != "/") ||
      parsed.hasQuery() || parsed.hasFragment() || parsed.port() == 0)
    return fail(MqttError::BadUrl, MsgBadUrl.arg(url));
  address.tls = scheme == QStringLiteral("mqtts");
  address.host = parsed.host();
  address.port = static_cast<std::uint16_t>(parsed.port(address.tls ? 8883 : 1883));
  return address;
}

bool hasControlCharacter(const QString& value) {
  return std::any_of(value.begin(), value.end(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

Status checkNoControlCharacter(const QString& key, const QString& value) {
  if (hasControlCharacter(value)) return fail(MqttError::ControlCharacter, MsgControlCharacter.arg(key));
  return {};
}

Status checkSetting(const QString& key, const QString& value) {
  if (value.isEmpty()) return {};
  if (Status plain = checkNoControlCharacter(key, value); !plain) return plain;
  if (key == KeyUrl) {
    if (auto address = parseBrokerUrl(value); !address) return address.error();
    return {};
  }
  if (key == KeyTopic) {
    if (value.contains(QChar('+')) || value.contains(QChar('#')) || value.trimmed().isEmpty())
      return fail(MqttError::BadTopic, MsgBadTopic.arg(value));
    return {};
  }
  if (key == KeyPasswordFile || key == KeyCaFile) {
    if (!QFileInfo(value).isFile()) return fail(MqttError::FileMissing, MsgNoFile.arg(value));
    return {};
  }
  return {};
}

QString settingValue(const MqttSettings& settings, const QString& key) {
  if (key == KeyUrl) return settings.url;
  if (key == KeyTopic) return settings.topic;
  if (key == KeyUser) return settings.user;
  if (key == KeyPasswordFile) return settings.passwordFile;
  if (key == KeyCaFile) return settings.caFile;
  return {};
}

Status assignSetting(MqttSettings& settings, const QString& key, const QString& value) {
  if (Status plain = checkNoControlCharacter(key, value); !plain) return plain;
  if (Status checked = checkSetting(key, value); !checked) return checked;
  const bool file = key == KeyPasswordFile || key == KeyCaFile;
  setSettingValue(settings, key, file && !value.isEmpty() ? QFileInfo(value).absoluteFilePath() : value);
  return {};
}

void setSettingValue(MqttSettings& settings, const QString& key, const QString& value) {
  if (key == KeyUrl) settings.url = value;
  if (key == KeyTopic) settings.topic = value;
  if (key == KeyUser) settings.user = value;
  if (key == KeyPasswordFile) settings.passwordFile = value;
  if (key == KeyCaFile) settings.caFile = value;
}

MqttSettings parseConf(const QByteArray& text) {
  MqttSettings settings;
  const QStringList keys = settingKeys();
  for (const QByteArray& raw : text.split('\n')) {
    const QString line = QString::fromUtf8(raw).trimmed();
    if (line.isEmpty() || line.startsWith(QChar('#'))) continue;
    const qsizetype eq = line.indexOf(QChar('='));
    if (eq <= 0) continue;
    const QString key = line.left(eq).trimmed();
    const QString value = line.mid(eq + 1).trimmed();
    // A value is one line of plain characters; a stray carriage return or
    // other control character inside it makes it no value of ours.
    if (keys.contains(key) && !hasControlCharacter(value)) setSettingValue(settings, key, value);
  }
  return settings;
}

QByteArray updatedConf(const QByteArray& text, const MqttSettings& settings) {
  const QStringList keys = settingKeys();
  QByteArray out;
  for (const QByteArray& raw : text.split('\n')) {
    const QString line = QString::fromUtf8(raw).trimmed();
    const qsizetype eq = line.indexOf(QChar('='));
    if (eq > 0 && !line.startsWith(QChar('#')) && keys.contains(line.left(eq).trimmed())) continue;
    if (raw.isEmpty()) continue;
    out += raw + '\n';
  }
  for (const QString& key : keys) {
    const QString value = settingValue(settings, key);
    if (!value.isEmpty()) out += (key + QChar('=') + value + QChar('\n')).toUtf8();
  }
  return out;
}

namespace {

// The file's text; empty when there is none. A named pipe or a device in its
// place is refused rather than waited on or read without end.
Result<QByteArray> confText(const QString& path) {
  const PlainFile file = readPlainFile(path, MostConfBytes, Links::Follow);
  switch (file.state) {
    case PlainFileState::Read:
      return file.bytes;
    case PlainFileState::Missing:
      return QByteArray();
    case PlainFileState::Unreadable:
      return fail(MqttError::ConfUnreadable,
                  MsgCannotRead.arg(path, QString::fromLocal8Bit(std::strerror(file.errorNumber))));
    case PlainFileState::TooLarge:
      return fail(MqttError::ConfUnreadable, MsgCannotRead.arg(path, MsgConfTooLarge.arg(MostConfBytes)));
    case PlainFileState::Link:
    case PlainFileState::NotRegular:
      break;
  }
  return fail(MqttError::ConfUnreadable, MsgCannotRead.arg(path, MsgConfNotFile));
}

}  // namespace

Result<MqttSettings> readConf(const QString& path) {
  const Result<QByteArray> text = confText(path);
  if (!text) return text.error();
  return parseConf(*text);
}

Status writeConf(const QString& path, const MqttSettings& settings) {
  for (const QString& key : settingKeys())
    if (Status plain = checkNoControlCharacter(key, settingValue(settings, key)); !plain) return plain;
  const Result<QByteArray> text = confText(path);
  if (!text) return text.error();
  const QByteArray old = *text;
  QDir().mkpath(QFileInfo(path).absolutePath());
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly))
    return fail(MqttError::ConfNotSaved, MsgCannotWrite.arg(path, file.errorString()));
  file.write(updatedConf(old, settings));
  if (!file.commit()) return fail(MqttError::ConfNotSaved, MsgCannotWrite.arg(path, file.errorString()));
  return {};
}

}  // namespace kestrune::mqtt
