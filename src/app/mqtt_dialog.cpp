#include "app/mqtt_dialog.h"

#include "core/run_options.h"
#include "web/web_settings.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include <algorithm>

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

ConfKeys recordKeys() {
  const QStringList keys = run_options::settingKeys();
  return {CapRecordDialog,
          QStringLiteral("RecordDialog"),
          QStringLiteral("LabelRecordError"),
          MsgRecordHint,
          keys,
          {CapStampPrecision, CapRecord, CapFullSheet},
          {},
          [keys](const QString& path) {
            return keyValues<RunOptions>(path, keys, &run_options::readConf, &run_options::settingValue);
          },
          [keys](const QString& readPath, const QString& writePath, const QStringList& typed) {
            return saveKeys<RunOptions>(readPath, writePath, keys, typed, &run_options::readConf,
                                        &run_options::assignSetting, &run_options::writeConf);
          },
          {{{QStringLiteral("s"), QStringLiteral("秒まで（s）")},
            {QStringLiteral("ms"), QStringLiteral("ミリ秒まで（ms）")}},
           {{QStringLiteral("off"), QStringLiteral("残さない（off）")},
            {QStringLiteral("on"), QStringLiteral("残す（on）")}},
           {{QStringLiteral("end"), QStringLiteral("取得を終える（end）")},
            {QStringLiteral("continue"), QStringLiteral("新しいシートに続ける（continue）")}}}};
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
    const QString value = values ? values->at(i) : QString();
    if (static_cast<std::size_t>(i) < keys_.choices.size() && !keys_.choices.at(static_cast<std::size_t>(i)).empty()) {
      auto* list = new QComboBox(this);
      list->setObjectName(keys_.keys.at(i));
      for (const auto& [choice, text] : keys_.choices.at(static_cast<std::size_t>(i))) list->addItem(text, choice);
      list->setCurrentIndex(std::max(0, list->findData(value)));
      form->addRow(keys_.captions.at(i), list);
      typed_.push_back([list] { return list->currentData().toString(); });
      continue;
    }
    auto* box = new QLineEdit(value, this);
    box->setObjectName(keys_.keys.at(i));
    box->setMinimumWidth(box->fontMetrics().horizontalAdvance(QLatin1Char('M')) * 32);
    if (i < keys_.placeholders.size()) box->setPlaceholderText(keys_.placeholders.at(i));
    form->addRow(keys_.captions.at(i), box);
    typed_.push_back([box] { return box->text(); });
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
  for (const auto& text : typed_) typed << text();
  const QStringList refused = keys_.save(readPath_, writePath_, typed);
  error_->setText(refused.join(QLatin1Char('\n')));
  if (refused.isEmpty()) QDialog::accept();
}

MqttDialog::MqttDialog(const QString& readPath, QString writePath, QWidget* parent)
    : ConfDialog(mqttKeys(), readPath, std::move(writePath), parent) {}

WebDialog::WebDialog(const QString& readPath, QString writePath, QWidget* parent)
    : ConfDialog(webKeys(), readPath, std::move(writePath), parent) {}

RecordDialog::RecordDialog(const QString& readPath, QString writePath, QWidget* parent)
    : ConfDialog(recordKeys(), readPath, std::move(writePath), parent) {}

}  // namespace kestrune::app
