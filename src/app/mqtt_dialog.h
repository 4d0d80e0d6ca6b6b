// The dialogs of kestrune.conf's global settings (条件設定 > MQTT送信, Web表示,
// 記録): one box or list per key, checked as `kestrune config` checks them, saved at OK.
// The next Start (MQTT) or the dialog's caller (the web view) picks them up.
#pragma once

#include "core/result.h"
#include "mqtt/mqtt_settings.h"

#include <QDialog>

#include <functional>
#include <utility>
#include <vector>

class QLabel;

namespace kestrune::app {

inline const QString CapMqttDialog = QStringLiteral("MQTT送信の設定");
inline const QString CapMqttUrl = QStringLiteral("ブローカー URL");
inline const QString CapMqttTopic = QStringLiteral("トピック");
inline const QString CapMqttUser = QStringLiteral("ユーザー名");
inline const QString CapMqttPasswordFile = QStringLiteral("パスワードファイル");
inline const QString CapMqttCaFile = QStringLiteral("CA 証明書ファイル");
inline const QString MsgMqttHint = QStringLiteral(
    "URL を空にすると送信しません。トピックの {host} と {workbook} はコンピューター名とブック名になります。");

inline const QString CapWebDialog = QStringLiteral("Web表示の設定");
inline const QString CapWebListen = QStringLiteral("待ち受けるアドレス");
inline const QString CapWebCertFile = QStringLiteral("証明書ファイル（PEM）");
inline const QString CapWebKeyFile = QStringLiteral("秘密鍵ファイル（PEM）");
inline const QString MsgWebHint = QStringLiteral(
    "アドレスを空にすると Web 表示は使いません。127.0.0.1:8080 ならこのコンピューターのブラウザーから "
    "http://127.0.0.1:8080/ で見られます。ほかのコンピューターから見るには 0.0.0.0:8443 などとし、証明書と秘密鍵の"
    "ファイルを指定します（https、アクセストークンが必要）。");

inline const QString CapRecordDialog = QStringLiteral("記録の設定");
inline const QString CapStampPrecision = QStringLiteral("日時の表示");
inline const QString CapRecord = QStringLiteral("実行の記録");
inline const QString CapFullSheet = QStringLiteral("シートの最終行まで書いたら");
inline const QString MsgRecordHint = QStringLiteral(
    "日時の値はいつもミリ秒まで持ちます。実行の記録はブックの横の「ブック名.kestrune-record」に残り、"
    "kestrune verify でブックと照らし合わせられます。次の取得開始から使います。");

// What one dialog edits: its keys, how they read from and save to the file.
struct ConfKeys {
  QString title;
  QString objectName;
  QString errorName;  // the error label's object name
  QString hint;
  QStringList keys;
  QStringList captions;
  QStringList placeholders;  // per key, may be shorter
  // The keys' values in the file at the path, or why it cannot be read.
  std::function<Result<QStringList>(const QString& path)> read;
  // Checks the typed values against the file at `readPath` and saves them at
  // `writePath`; the refusals (every one), empty once saved.
  std::function<QStringList(const QString& readPath, const QString& writePath, const QStringList& typed)> save;
  // Per key, may be shorter: the values a list offers, each with its text;
  // a key without them gets a box to type in.
  std::vector<std::vector<std::pair<QString, QString>>> choices = {};
};

class ConfDialog : public QDialog {
  Q_OBJECT
public:
  // The boxes show the settings of kestrune.conf at `readPath`; OK saves them
  // at `writePath` (the settings folder's read and write paths).
  ConfDialog(ConfKeys keys, const QString& readPath, QString writePath, QWidget* parent = nullptr);

  // Checks every box; saves and closes when all are usable, else shows why.
  void accept() override;

private:
  ConfKeys keys_;
  QString readPath_;
  QString writePath_;
  std::vector<std::function<QString()>> typed_;
  QLabel* error_ = nullptr;
};

// The MQTT broker's settings.
class MqttDialog final : public ConfDialog {
  Q_OBJECT
public:
  MqttDialog(const QString& readPath, QString writePath, QWidget* parent = nullptr);
};

// The web view's settings (http.listen, http.cert-file, http.key-file).
class WebDialog final : public ConfDialog {
  Q_OBJECT
public:
  WebDialog(const QString& readPath, QString writePath, QWidget* parent = nullptr);
};

// The run options: the stamps' precision, the run record, a full sheet.
class RecordDialog final : public ConfDialog {
  Q_OBJECT
public:
  RecordDialog(const QString& readPath, QString writePath, QWidget* parent = nullptr);
};

}  // namespace kestrune::app
