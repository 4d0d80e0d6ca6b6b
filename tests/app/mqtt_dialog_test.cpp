// The MQTT dialog: it shows kestrune.conf, refuses what `kestrune config`
// refuses without writing, and saves the rest at OK; the main window's menu
// opens it.
#include "app/mqtt_dialog.h"

#include "core/run_options.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kestrune::app {
namespace {

class MqttDialogTest : public ::testing::Test {
protected:
  void SetUp() override {
    path = dir.filePath(QStringLiteral("kestrune.conf"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("other=kept\nmqtt.url=mqtt://old:1883\nmqtt.user=alice\n");
  }
  QByteArray saved() {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
  }
  static QLineEdit* box(MqttDialog& d, const QString& key) { return d.findChild<QLineEdit*>(key); }

  QTemporaryDir dir;
  QString path;
};

TEST_F(MqttDialogTest, ShowsTheFileRefusesBadValuesAndSavesAtOk) {
  MqttDialog dialog(path, path);
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("MQTT送信の設定"));
  ASSERT_NE(box(dialog, mqtt::KeyUrl), nullptr);
  EXPECT_EQ(box(dialog, mqtt::KeyUrl)->text(), QStringLiteral("mqtt://old:1883"));
  EXPECT_EQ(box(dialog, mqtt::KeyUser)->text(), QStringLiteral("alice"));
  const QByteArray before = saved();

  struct Case {
    const char* key;
    const char* value;
    const char* shown;  // part of the message shown
  };
  const Case refused[] = {
      {"mqtt.url", "ftp://host", "mqtt://"},
      {"mqtt.topic", "a/#", "+ と #"},
      {"mqtt.ca-file", "/nonexistent/ca.pem", "/nonexistent/ca.pem"},
      {"mqtt.user", "bob\nmqtt.url=mqtt://elsewhere", "mqtt.user の値に制御文字"},
      {"mqtt.user", "bob\n", "mqtt.user の値に制御文字"},  // not trimmed away
      {"mqtt.topic", "\tlab", "mqtt.topic の値に制御文字"},
      {"mqtt.url", "mqtt://old:1883\x7f", "mqtt.url の値に制御文字"},
  };
  for (const Case& c : refused) {
    MqttDialog d(path, path);
    box(d, QString::fromUtf8(c.key))->setText(QString::fromUtf8(c.value));
    d.show();
    d.accept();
    EXPECT_TRUE(d.isVisible()) << c.key;  // stays open
    EXPECT_TRUE(d.findChild<QLabel*>(QStringLiteral("LabelMqttError"))->text().contains(QString::fromUtf8(c.shown)))
        << c.key;
    EXPECT_EQ(saved(), before) << c.key;
  }

  box(dialog, mqtt::KeyUrl)->setText(QStringLiteral(" mqtts://broker.lab:8884 "));
  box(dialog, mqtt::KeyUser)->clear();
  box(dialog, mqtt::KeyPasswordFile)->setText(path);
  dialog.show();
  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(saved(), "other=kept\nmqtt.url=mqtts://broker.lab:8884\nmqtt.password-file=" + path.toUtf8() + "\n");
}

TEST_F(MqttDialogTest, RecordDialogOffersEachOptionsValuesAndSavesThem) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::Append));
  f.write("record=on\n");
  f.close();
  RecordDialog dialog(path, path);
  auto* precision = dialog.findChild<QComboBox*>(KeyStampPrecision);
  auto* record = dialog.findChild<QComboBox*>(KeyRecord);
  auto* full = dialog.findChild<QComboBox*>(KeyFullSheet);
  ASSERT_TRUE(precision && record && full);
  EXPECT_EQ(record->currentData().toString(), QStringLiteral("on")) << "shows the file";
  EXPECT_EQ(precision->currentData().toString(), QStringLiteral("s")) << "a missing key is its default";
  precision->setCurrentIndex(precision->findData(QStringLiteral("ms")));
  full->setCurrentIndex(full->findData(QStringLiteral("continue")));
  dialog.show();
  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(run_options::readConf(path)->stampMilliseconds, true);
  EXPECT_EQ(run_options::readConf(path)->continueFullSheet, true);
  EXPECT_TRUE(saved().startsWith("other=kept\nmqtt.url=mqtt://old:1883\nmqtt.user=alice\n")) << "other lines kept";
}

}  // namespace
}  // namespace kestrune::app
