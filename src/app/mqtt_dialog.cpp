#include "app/mqtt_dialog.h"

#include "web/web_settings.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace kestrune::app {

namespace {

// Reads the file with `read`, or the default settings where it cannot be read.
template <typename Settings, typename Read, typename ValueOf>
Result<QStringList> keyValues(const QString& path, const QStringList& keys, Read read, ValueOf valueOf) {
  const auto settings = read(path);
  if (!settings) return settings.error();
  QStringList values;
  for (const QString& key : keys) values << valueOf(*settings, key);
  return values;
}

// Checks each typed value into the file's settings, then writes them.
template <typename Settings, typename Read, typename Assign, typename Write>
QStringList saveKeys(const QString& readPath, const QString& writePath, const QStringList& keys,
                     const QStringList& typed, Read read, Assign assign, Write write) {
  const auto stored = read(readPath);
  Settings settings = stored ? *stored : Settings{};
  QStringList refused;
  for (qsizetype i = 0; i < keys.size(); ++i) {
    // Refused as typed: trimming would hide a line feed or tab at either end.
    if (const Status plain = mqtt::checkNoControlCharacter(keys.at(i), typed.at(i)); !plain) {
      refused << plain.description();
      continue;
    }
    if (const Status set = assign(settings, keys.at(i), typed.at(i).trimmed()); !set) refused << set.description();
  }
  if (refused.isEmpty()) {
    if (const Status saved = write(writePath, settings); !saved) refused << saved.description();
  }
  return refused;
}

ConfKeys mqttKeys() {
  const QStringList keys = mqtt::settingKeys();
  return {CapMqttDialog,
          QStringLiteral("MqttDialog"),
          QStringLiteral("LabelMqttError"),
          MsgMqttHint,
          keys,
          {CapMqttUrl, CapMqttTopic, CapMqttUser, CapMqttPasswordFile, CapMqttCaFile},
          {QStringLiteral("mqtt://ホスト:1883"), mqtt::DefaultTopic},
          [keys](const QString& path) {
            return keyValues<mqtt::MqttSettings>(path, keys, &mqtt::readConf, &mqtt::settingValue);
          },
          [keys](const QString& readPath, const QString& writePath, const QStringList& typed) {
            return saveKeys<mqtt::MqttSettings>(readPath, writePath, keys, typed, &mqtt::readConf, &mqtt::assignSetting,
                                                &mqtt::writeConf);
          }};
}

ConfKeys webKeys() {
  const QStringList keys = web::settingKeys();
  return {CapWebDialog,
          QStringLiteral("WebDialog"),
          QStringLiteral("LabelWebError"),
          MsgWebHint,
          keys,
          {CapWebListen, CapWebCertFile, CapWebKeyFile},
          {QStringLiteral("127.0.0.1:8080")},
          [keys](const QString& path) {
            return keyValues<web::WebSettings>(path, keys, &web::readConf, &web::settingValue);
          },
          [keys](const QString& readPath, const QString& writePath, const QStringList& typed) {
            return saveKeys<web::WebSettings>(readPath, writePath, keys, typed, &web::readConf, &web::assignSetting,
                                              &web::writeConf);
          }};
}

}  // namespace

ConfDialog::ConfDialog(ConfKeys keys, const QString& readPath, QString writePath, QWidget* parent)
    : QDialog(parent), keys_(std::move(keys)), readPath_(readPath), writePath_(std::move(writePath)) {
  setWindowTitle(keys_.title);
  setObjectName(keys_.objectName);
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  const Result<QStringList> values = keys_.read(readPath_);
  for (qsizetype i = 0; i < keys_.keys.size(); ++i) {
    auto* box = new QLineEdit(values ? values->at(i) : QString(), this);
    box->setObjectName(keys_.keys.at(i));
    box->setMinimumWidth(box->fontMetrics().horizontalAdvance(QLatin1Char('M')) * 32);
    if (i < keys_.placeholders.size()) box->setPlaceholderText(keys_.placeholders.at(i));
    form->addRow(keys_.captions.at(i), box);
    boxes_.push_back(box);
  }
  layout->addLayout(form);
  auto* hint = new QLabel(keys_.hint, this);
  hint->setWordWrap(true);
  layout->addWidget(hint);
  error_ = new QLabel(values ? QString() : values.description(), this);
  error_->setObjectName(keys_.errorName);
  error_->setStyleSheet(QStringLiteral("color: red"));
  error_->setWordWrap(true);
  layout->addWidget(error_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &ConfDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &ConfDialog::reject);
  layout->addWidget(buttons);
}

void ConfDialog::accept() {
  QStringList typed;
  for (const QLineEdit* box : boxes_) typed << box->text();
  const QStringList refused = keys_.save(readPath_, writePath_, typed);
  error_->setText(refused.join(QLatin1Char('\n')));
  if (refused.isEmpty()) QDialog::accept();
}

MqttDialog::MqttDialog(const QString& readPath, QString writePath, QWidget* parent)
    : ConfDialog(mqttKeys(), readPath, std::move(writePath), parent) {}

WebDialog::WebDialog(const QString& readPath, QString writePath, QWidget* parent)
    : ConfDialog(webKeys(), readPath, std::move(writePath), parent) {}

}  // namespace kestrune::app
