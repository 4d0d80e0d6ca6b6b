#include "mqtt/mqtt_settings.h"

#include "core/conf_text.h"

#include <QFileInfo>
#include <QUrl>

namespace kestrune::mqtt {

namespace {

const QString MsgBadUrl =
    QStringLiteral("%1 は使えません。mqtt://ホスト[:ポート] か mqtts://ホスト[:ポート] の形で指定してください");
const QString MsgNoFile = QStringLiteral("ファイル %1 がありません");
const QString MsgBadTopic = QStringLiteral("トピック %1 は使えません（空白以外の文字で、+ と # を含まないこと）");

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

Status checkNoControlCharacter(const QString& key, const QString& value) {
  if (hasControlCharacter(value)) return fail(MqttError::ControlCharacter, conf::controlCharacterMessage(key));
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
  const conf::Values values = conf::partValues(text, conf::Part());
  for (const QString& key : settingKeys())
    if (values.contains(key)) setSettingValue(settings, key, values.value(key));
  return settings;
}

QByteArray updatedConf(const QByteArray& text, const MqttSettings& settings) {
  conf::Changes changes;
  for (const QString& key : settingKeys()) changes.append({key, settingValue(settings, key)});
  return conf::updatedPart(text, conf::Part(), changes);
}

namespace {

// kestrune.conf's text, its failures told by this library's codes.
Result<QByteArray> confText(const QString& path) {
  Result<QByteArray> text = conf::readConfText(path);
  if (!text) return fail(MqttError::ConfUnreadable, text.error().description, text.error().detail);
  return text;
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
  const Status written = conf::writeConfText(path, updatedConf(*text, settings));
  if (!written) return fail(MqttError::ConfNotSaved, written.error().description, written.error().detail);
  return {};
}

}  // namespace kestrune::mqtt
