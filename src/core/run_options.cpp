#include "core/run_options.h"

#include "core/conf_text.h"

#include <array>

namespace kestrune::run_options {

namespace {

// Each key's two values: the default first.
struct Choice {
  const QString& key;
  QString off;
  QString on;
  bool RunOptions::*field;
};

const std::array<Choice, 3>& choices() {
  static const std::array<Choice, 3> all{{
      {KeyStampPrecision, QStringLiteral("s"), QStringLiteral("ms"), &RunOptions::stampMilliseconds},
      {KeyRecord, QStringLiteral("off"), QStringLiteral("on"), &RunOptions::record},
      {KeyFullSheet, QStringLiteral("end"), QStringLiteral("continue"), &RunOptions::continueFullSheet},
  }};
  return all;
}

const Choice* choiceOf(const QString& key) {
  for (const Choice& choice : choices())
    if (choice.key == key) return &choice;
  return nullptr;
}

}  // namespace

QStringList settingKeys() {
  QStringList keys;
  for (const Choice& choice : choices()) keys << choice.key;
  return keys;
}

QString acceptedValues(const QString& key) {
  const Choice* choice = choiceOf(key);
  return choice ? QStringLiteral("%1 か %2").arg(choice->off, choice->on) : QString();
}

Status checkSetting(const QString& key, const QString& value) {
  const Choice* choice = choiceOf(key);
  if (choice == nullptr || value.isEmpty() || value == choice->off || value == choice->on) return {};
  return fail(conf::ConfError::BadValue,
              QStringLiteral("%1 の値「%2」は使えません（%3）").arg(key, value, acceptedValues(key)));
}

QString settingValue(const RunOptions& options, const QString& key) {
  const Choice* choice = choiceOf(key);
  if (choice == nullptr) return {};
  return options.*(choice->field) ? choice->on : choice->off;
}

Status assignSetting(RunOptions& options, const QString& key, const QString& value) {
  if (Status checked = checkSetting(key, value); !checked) return checked;
  if (const Choice* choice = choiceOf(key)) options.*(choice->field) = value == choice->on;
  return {};
}

RunOptions parseConf(const QByteArray& text) {
  RunOptions options;
  const conf::Values values = conf::partValues(text, conf::Part());
  for (const Choice& choice : choices()) options.*(choice.field) = values.value(choice.key) == choice.on;
  return options;
}

Result<RunOptions> readConf(const QString& path) {
  const Result<QByteArray> text = conf::readConfText(path);
  if (!text) return text.error();
  return parseConf(*text);
}

Status writeConf(const QString& path, const RunOptions& options) {
  conf::Changes changes;
  for (const Choice& choice : choices()) changes.append({choice.key, settingValue(options, choice.key)});
  const Result<QByteArray> text = conf::readConfText(path);
  if (!text) return text.error();
  return conf::writeConfText(path, conf::updatedPart(*text, conf::Part(), changes));
}

}  // namespace kestrune::run_options
