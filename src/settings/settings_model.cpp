#include "settings/settings_model.h"

#include "core/numeric_text.h"
#include "core/trace.h"
#include "settings/setup_record.h"

#include <algorithm>
#include <limits>

namespace kestrune::settings {

std::int16_t stampModeCode(StampMode mode) {
  switch (mode) {
    case StampMode::None:
      return 0;
    case StampMode::Date:
      return 1;
    case StampMode::Time:
      return 2;
    case StampMode::DateAndTime:
      return 3;
  }
  return 0;
}

StampMode stampModeOf(std::int16_t code) {
  switch (code) {
    case 1:
      return StampMode::Date;
    case 2:
      return StampMode::Time;
    case 3:
      return StampMode::DateAndTime;
    default:
      return StampMode::None;
  }
}

Range rangeOf(Field field) {
  switch (field) {
    case Field::Minutes:
      return {1, 300};
    case Field::Rows:
      return {1, 10000};
    case Field::StartCell:
      return {1, 65000};
    case Field::AcquisitionNo:
      return {1, std::numeric_limits<std::int32_t>::max()};
    case Field::Port:
      return {1, 8};
    default:
      return {std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()};
  }
}

QString acceptedValues(Field field) {
  const Range r = rangeOf(field);
  switch (field) {
    case Field::Minutes:
      return QStringLiteral("%1～%2 の数（小数は整数の分に丸めます）").arg(r.low).arg(r.high);
    case Field::Rows:
    case Field::AcquisitionNo:
    case Field::Port:
      return QStringLiteral("%1～%2 の整数").arg(r.low).arg(r.high);
    case Field::StartCell:
      return QStringLiteral("列 A～Z か AA～IA と行 %1～%2（例 B3）").arg(r.low).arg(r.high);
    case Field::Speed:
      return speedChoices().join(QLatin1Char('/'));
    case Field::Parity: {
      QStringList letters;
      for (const QString& entry : parityChoices()) letters << entry.left(1).toLower();
      return letters.join(QLatin1Char('/'));
    }
    case Field::DataBits:
      return dataBitsChoices().join(QLatin1Char('/'));
    case Field::StopBits:
      return stopBitsChoices().join(QLatin1Char('/'));
  }
  return {};
}

QString correctedStartColumn(const QString& column) {
  const bool valid = column.size() == 1 ? (column >= QLatin1String("A") && column <= QLatin1String("Z"))
                                        : (column >= QLatin1String("AA") && column <= QLatin1String("IA"));
  QString out = valid ? column : QStringLiteral("A");
  if (out.size() > 2) out.truncate(2);
  return out;
}

QString normalisedStartColumnInput(const QString& text) {
  QString s = text.trimmed().toUpper();
  if (s < QLatin1String("A")) s = QStringLiteral("A");
  if (s.size() == 1 && s > QLatin1String("Z")) s = QStringLiteral("Z");
  if (s.size() != 1 && s > QLatin1String("IA")) s = QStringLiteral("IA");
  if (s.size() > 2) s.truncate(2);
  return s;
}

QString clampedBoxText(Field field, const QString& typed) {
  return QString::number(rangeOf(field).clamp(readWholeNumber(typed)));
}

std::vector<Violation> validate(const Conditions& c) {
  std::vector<Violation> out;
  const auto check = [&out](Field field, bool ok) {
    if (!ok) out.push_back({field, acceptedValues(field)});
  };
  check(Field::Minutes, c.acquireTimeMs % MsPerMinute == 0 &&
                            rangeOf(Field::Minutes).holds(static_cast<double>(c.acquireTimeMs) / MsPerMinute));
  check(Field::Rows, rangeOf(Field::Rows).holds(c.rows));
  // A column is valid when the box keeps it as typed and the panel keeps it
  // when it opens.
  const QString& column = c.cursor.column;
  check(Field::StartCell, normalisedStartColumnInput(column) == column && correctedStartColumn(column) == column &&
                              rangeOf(Field::StartCell).holds(c.cursor.row));
  check(Field::AcquisitionNo, rangeOf(Field::AcquisitionNo).holds(c.cursor.acquisitionNo));
  return out;
}

Lines defaultLines() {
  Lines lines;
  for (std::size_t channel = 1; channel < lines.size(); ++channel) lines[channel].port = NoPort;
  return lines;
}

std::vector<Violation> validate(const LineSettings& line, int channel) {
  std::vector<Violation> out;
  const auto check = [&out](Field field, bool ok) {
    if (!ok) out.push_back({field, acceptedValues(field)});
  };
  const QStringList fields = serial::settingsText(line.config).split(QLatin1Char(','));
  check(Field::Port, rangeOf(Field::Port).holds(line.port) || (channel > 0 && line.port == NoPort));
  check(Field::Speed, speedChoices().contains(fields.at(0)));
  check(Field::Parity, acceptedValues(Field::Parity).split(QLatin1Char('/')).contains(fields.at(1)));
  check(Field::DataBits, dataBitsChoices().contains(fields.at(2)));
  check(Field::StopBits, stopBitsChoices().contains(fields.at(3)));
  return out;
}

Conditions corrected(Conditions c) {
  c.acquireTimeMs = std::clamp(c.acquireTimeMs, rangeOf(Field::Minutes).low * MsPerMinute,
                               rangeOf(Field::Minutes).high * MsPerMinute);
  c.rows = rangeOf(Field::Rows).clamp(c.rows);
  c.cursor.column = correctedStartColumn(c.cursor.column);
  c.cursor.row = rangeOf(Field::StartCell).clamp(c.cursor.row);
  c.cursor.acquisitionNo = rangeOf(Field::AcquisitionNo).clamp(c.cursor.acquisitionNo);
  return c;
}

QStringList portChoices() {
  QStringList out;
  for (int n = 1; n <= rangeOf(Field::Port).high; ++n) out << QStringLiteral("Com%1").arg(n);
  return out;
}

QStringList speedChoices() {
  return {QStringLiteral("300"),   QStringLiteral("600"),   QStringLiteral("1200"),  QStringLiteral("2400"),
          QStringLiteral("4800"),  QStringLiteral("9600"),  QStringLiteral("19200"), QStringLiteral("38400"),
          QStringLiteral("57600"), QStringLiteral("115200")};
}

QStringList dataBitsChoices() { return {QStringLiteral("7"), QStringLiteral("8")}; }
QStringList parityChoices() { return {QStringLiteral("Even"), QStringLiteral("Odd"), QStringLiteral("None")}; }
QStringList stopBitsChoices() { return {QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2")}; }
QStringList flowChoices() { return {QStringLiteral("None"), QStringLiteral("Xon/Xoff"), QStringLiteral("RTS")}; }

Status readStoredLine(const StoredLine& stored, LineSettings& line, int channel) {
  const bool noPort = channel > 0 && stored.port == NoPort;
  if (!noPort && !rangeOf(Field::Port).holds(stored.port))
    return fail(SetupError::ValueRefused, QStringLiteral("ポート番号 %1 は使用できません（1～8）").arg(stored.port));
  line.port = stored.port;
  if (noPort && stored.settings.isEmpty()) return {};
  const Result<serial::PortConfig> config = serial::parseSettings(stored.settings);
  if (!config) return config.error();
  line.config = *config;
  const Result<serial::FlowControl> flow = serial::flowControlFromCode(stored.flowCode);
  if (!flow) return flow.error();
  line.flow = *flow;
  return {};
}

Status applyToPort(serial::Port& port, const LineSettings& wanted, LineSettings& applied) {
  const int oldPort = port.commPort();
  if (wanted.port != oldPort) {
    const bool reopen = port.portOpen();
    Status status;
    if (reopen) status = port.setPortOpen(false);
    if (Status set = port.setCommPort(wanted.port); status && !set) status = set;
    if (status && reopen) status = port.setPortOpen(true);
    if (!status) {
      // Back to the port it had; the port is closed here, so this cannot be refused.
      traceFailure(QStringLiteral("line settings"), port.setCommPort(oldPort));
      return status;
    }
  }
  applied.port = wanted.port;
  if (Status set = port.setSettings(serial::settingsText(wanted.config)); !set) return set;
  applied.config = wanted.config;
  if (Status set = port.setHandshaking(wanted.flow); !set) return set;
  applied.flow = wanted.flow;
  return {};
}

}  // namespace kestrune::settings
