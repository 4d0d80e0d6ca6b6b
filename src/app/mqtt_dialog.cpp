#include "app/mqtt_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace kestrune::app {

MqttDialog::MqttDialog(const QString& readPath, QString writePath, QWidget* parent)
    : QDialog(parent), readPath_(readPath), writePath_(std::move(writePath)) {
  setWindowTitle(CapMqttDialog);
  setObjectName(QStringLiteral("MqttDialog"));
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  const QStringList keys = mqtt::settingKeys();
  const QStringList captions = {CapMqttUrl, CapMqttTopic, CapMqttUser, CapMqttPasswordFile, CapMqttCaFile};
  const auto read = mqtt::readConf(readPath_);
  const mqtt::MqttSettings settings = read ? *read : mqtt::MqttSettings{};
  for (qsizetype i = 0; i < keys.size(); ++i) {
    auto* box = new QLineEdit(mqtt::settingValue(settings, keys.at(i)), this);
    box->setObjectName(keys.at(i));
    box->setMinimumWidth(box->fontMetrics().horizontalAdvance(QLatin1Char('M')) * 32);
    form->addRow(captions.at(i), box);
    boxes_.at(static_cast<std::size_t>(i)) = box;
  }
  boxes_[0]->setPlaceholderText(QStringLiteral("mqtt://ホスト:1883"));
  boxes_[1]->setPlaceholderText(mqtt::DefaultTopic);
  layout->addLayout(form);
  auto* hint = new QLabel(MsgMqttHint, this);
  hint->setWordWrap(true);
  layout->addWidget(hint);
  error_ = new QLabel(read ? QString() : read.description(), this);
  error_->setObjectName(QStringLiteral("LabelMqttError"));
  error_->setStyleSheet(QStringLiteral("color: red"));
  error_->setWordWrap(true);
  layout->addWidget(error_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &MqttDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &MqttDialog::reject);
  layout->addWidget(buttons);
}

void MqttDialog::accept() {
  const QStringList keys = mqtt::settingKeys();
  const auto read = mqtt::readConf(readPath_);
  mqtt::MqttSettings settings = read ? *read : mqtt::MqttSettings{};
  QStringList refused;
  for (qsizetype i = 0; i < keys.size(); ++i) {
    const QString typed = boxes_.at(static_cast<std::size_t>(i))->text();
    // Refused as typed: trimming would hide a line feed or tab at either end.
    if (const Status plain = mqtt::checkNoControlCharacter(keys.at(i), typed); !plain) {
      refused << plain.description();
      continue;
    }
    if (const Status set = mqtt::assignSetting(settings, keys.at(i), typed.trimmed()); !set)
      refused << set.description();
  }
  if (refused.isEmpty()) {
    if (const Status saved = mqtt::writeConf(writePath_, settings); !saved) refused << saved.description();
  }
  error_->setText(refused.join(QLatin1Char('\n')));
  if (refused.isEmpty()) QDialog::accept();
}

}  // namespace kestrune::app
