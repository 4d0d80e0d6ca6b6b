// One table of values over the three places that take them: the conditions
// panel's boxes, `kestrune config` and the settings model's validate (and
// for the broker, the MQTT dialog's rule). Each keeps to the same ranges.
#include "app/config_command.h"
#include "mqtt/mqtt_settings.h"
#include "settings/settings_model.h"

#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

namespace kestrune::app {
namespace {

using settings::Field;

struct RuleCase {
  const char* key;
  const char* value;
  bool accepted;           // by `kestrune config`, by validate, by the dialog
  const char* panelKeeps;  // what the panel's box keeps of the value; null where no box takes it
};

void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.key << '=' << c.value; }

// The field a key sets in the model, and the conditions holding `value` there.
std::optional<std::pair<Field, settings::Conditions>> modelOf(const RuleCase& c) {
  const QString key = QString::fromUtf8(c.key);
  const QString value = QString::fromUtf8(c.value);
  settings::Conditions conditions = settings::corrected({});
  if (key == QLatin1String("rows")) {
    conditions.rows = value.toInt();
    return std::pair(Field::Rows, conditions);
  }
  if (key == QLatin1String("number")) {
    bool fits = false;
    conditions.cursor.acquisitionNo = value.toInt(&fits);
    if (!fits) conditions.cursor.acquisitionNo = -1;  // past the 32-bit range
    return std::pair(Field::AcquisitionNo, conditions);
  }
  if (key == QLatin1String("start-cell")) {
    const qsizetype digits = value.indexOf(QRegularExpression(QStringLiteral("[0-9]")));
    conditions.cursor.column = value.left(digits).toUpper();
    conditions.cursor.row = value.mid(digits).toInt();
    return std::pair(Field::StartCell, conditions);
  }
  return std::nullopt;
}

// The panel's box rule for a key's value.
QString panelKeeps(const RuleCase& c) {
  const QString key = QString::fromUtf8(c.key);
  const QString value = QString::fromUtf8(c.value);
  if (key == QLatin1String("minutes")) return settings::clampedBoxText(Field::Minutes, value);
  if (key == QLatin1String("rows")) return settings::clampedBoxText(Field::Rows, value);
  if (key == QLatin1String("number")) return settings::clampedBoxText(Field::AcquisitionNo, value);
  // The start cell in its two boxes: column letters and row.
  const qsizetype digits = value.indexOf(QRegularExpression(QStringLiteral("[0-9]")));
  return settings::normalisedStartColumnInput(value.left(digits)) +
         settings::clampedBoxText(Field::StartCell, value.mid(digits));
}

class SettingsRulesTest : public ::testing::TestWithParam<RuleCase> {};

TEST_P(SettingsRulesTest, ThePanelTheCommandLineAndTheModelAgree) {
  const RuleCase& c = GetParam();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString assignment = QString::fromUtf8(c.key) + QLatin1Char('=') + QString::fromUtf8(c.value);
  const ConfigResult result = runConfig(settings::SettingsFolder::fixed(dir.path()), {assignment});
  EXPECT_EQ(result.status, c.accepted ? ConfigDone : ConfigRefused) << result.err.toStdString();

  if (const auto model = modelOf(c)) {
    const std::vector<settings::Violation> found = settings::validate(model->second);
    const bool refused = std::any_of(found.begin(), found.end(),
                                     [&model](const settings::Violation& v) { return v.field == model->first; });
    EXPECT_EQ(!refused, c.accepted) << "validate";
  }
  if (QString::fromUtf8(c.key).startsWith(QLatin1String("mqtt."))) {
    mqtt::MqttSettings scratch;
    EXPECT_EQ(mqtt::assignSetting(scratch, QString::fromUtf8(c.key), QString::fromUtf8(c.value)).ok(), c.accepted)
        << "dialog";
  }
  if (c.panelKeeps) {
    EXPECT_EQ(panelKeeps(c), QString::fromUtf8(c.panelKeeps));
    // What the panel keeps of an accepted value is the value itself.
    if (c.accepted && QString::fromUtf8(c.key) != QLatin1String("minutes")) {
      EXPECT_EQ(panelKeeps(c), QString::fromUtf8(c.value).toUpper());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SettingsRulesTest,
    ::testing::Values(RuleCase{"minutes", "1", true, "1"}, RuleCase{"minutes", "300", true, "300"},
                      RuleCase{"minutes", "2.5", true, "2"}, RuleCase{"minutes", "299.5", true, "300"},
                      RuleCase{"minutes", "0", false, "1"}, RuleCase{"minutes", "0.4", false, "1"},
                      RuleCase{"minutes", "300.4", false, "300"}, RuleCase{"minutes", "1e2", false, "100"},
                      RuleCase{"minutes", "abc", false, "1"}, RuleCase{"rows", "1", true, "1"},
                      RuleCase{"rows", "10000", true, "10000"}, RuleCase{"rows", "10001", false, "10000"},
                      RuleCase{"rows", "0", false, "1"}, RuleCase{"number", "1", true, "1"},
                      RuleCase{"number", "2147483647", true, "2147483647"},
                      RuleCase{"number", "2147483648", false, "2147483647"}, RuleCase{"number", "0", false, "1"},
                      RuleCase{"start-cell", "a1", true, "A1"}, RuleCase{"start-cell", "IA65000", true, "IA65000"},
                      RuleCase{"start-cell", "Z9", true, "Z9"}, RuleCase{"start-cell", "IB1", false, "IA1"},
                      RuleCase{"start-cell", "ZZ1", false, "IA1"}, RuleCase{"start-cell", "A0", false, "A1"},
                      RuleCase{"start-cell", "B65001", false, "B65000"},
                      RuleCase{"mqtt.url", "mqtt://broker.lab", true, nullptr},
                      RuleCase{"mqtt.url", "ftp://broker.lab", false, nullptr},
                      RuleCase{"mqtt.topic", "lab/+/x", false, nullptr},
                      RuleCase{"mqtt.topic", "lab/{host}", true, nullptr}),
    [](const auto& p) {
      QString name = QString::fromUtf8(p.param.key) + QLatin1Char('_') + QString::fromUtf8(p.param.value);
      for (QChar& ch : name)
        if (!ch.isLetterOrNumber()) ch = QLatin1Char('_');
      return name.toStdString();
    });

}  // namespace
}  // namespace kestrune::app
