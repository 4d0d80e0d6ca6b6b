// The MQTT publishing dialog (条件設定 > MQTT送信): the broker settings of
// kestrune.conf, checked as `kestrune config` checks them, saved at OK. The
// next Start picks them up.
#pragma once

#include "mqtt/mqtt_settings.h"

#include <QDialog>

#include <array>

class QLabel;
class QLineEdit;

namespace kestrune::app {

inline const QString CapMqttDialog = QStringLiteral("MQTT送信の設定");
inline const QString CapMqttUrl = QStringLiteral("ブローカー URL");
inline const QString CapMqttTopic = QStringLiteral("トピック");
inline const QString CapMqttUser = QStringLiteral("ユーザー名");
inline const QString CapMqttPasswordFile = QStringLiteral("パスワードファイル");
inline const QString CapMqttCaFile = QStringLiteral("CA 証明書ファイル");
inline const QString MsgMqttHint = QStringLiteral(
    "URL を空にすると送信しません。トピックの {host} と {workbook} はコンピューター名とブック名になります。");

class MqttDialog final : public QDialog {
  Q_OBJECT
public:
  // The boxes show the settings of kestrune.conf at `readPath`; OK saves them
  // at `writePath` (the settings folder's read and write paths).
  MqttDialog(const QString& readPath, QString writePath, QWidget* parent = nullptr);

  // Checks every box; saves and closes when all are usable, else shows why.
  void accept() override;

private:
  QString readPath_;
  QString writePath_;
  std::array<QLineEdit*, 5> boxes_{};
  QLabel* error_ = nullptr;
};

}  // namespace kestrune::app
