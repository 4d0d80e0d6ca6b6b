#include "serial/port_config.h"

#include <QStringList>

#include <algorithm>
#include <array>

namespace kestrune::serial {

namespace {

constexpr std::array kBaudRates{50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
                                2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
                                576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

}  // namespace

std::span<const int> supportedBaudRates() { return kBaudRates; }

Result<PortConfig> parseSettings(const QString& text) {
  const QStringList fields = text.split(QLatin1Char(','));
  if (fields.size() != 4)
    return fail(LineError::BadFormat,
                QStringLiteral("通信条件「%1」の形式が正しくありません（速度,パリティ,データビット,ストップビット）")
                    .arg(text));

  PortConfig config;
  const QString speed = fields[0].trimmed();
  bool ok = false;
  config.baud = speed.toInt(&ok);
  if (!ok || std::find(kBaudRates.begin(), kBaudRates.end(), config.baud) == kBaudRates.end())
    return fail(LineError::BadSpeed, QStringLiteral("通信速度「%1」は使用できません").arg(speed));

  const QString parity = fields[1].trimmed().toLower();
  if (parity == QLatin1String("n"))
    config.parity = Parity::None;
  else if (parity == QLatin1String("e"))
    config.parity = Parity::Even;
  else if (parity == QLatin1String("o"))
    config.parity = Parity::Odd;
  else if (parity == QLatin1String("m"))
    config.parity = Parity::Mark;
  else if (parity == QLatin1String("s"))
    config.parity = Parity::Space;
  else
    return fail(LineError::BadParity, QStringLiteral("パリティ「%1」は使用できません").arg(fields[1].trimmed()));

  const QString data = fields[2].trimmed();
  config.dataBits = data.toInt(&ok);
  if (!ok || data.size() != 1 || config.dataBits < 5 || config.dataBits > 8)
    return fail(LineError::BadDataBits, QStringLiteral("データビット「%1」は使用できません").arg(data));

  const QString stop = fields[3].trimmed();
  if (stop == QLatin1String("1"))
    config.stopBits = StopBits::One;
  else if (stop == QLatin1String("1.5"))
    config.stopBits = StopBits::OnePointFive;
  else if (stop == QLatin1String("2"))
    config.stopBits = StopBits::Two;
  else
    return fail(LineError::BadStopBits, QStringLiteral("ストップビット「%1」は使用できません").arg(stop));

  return config;
}

QString settingsText(const PortConfig& config) {
  QChar parity;
  switch (config.parity) {
    case Parity::None:
      parity = QLatin1Char('n');
      break;
    case Parity::Even:
      parity = QLatin1Char('e');
      break;
    case Parity::Odd:
      parity = QLatin1Char('o');
      break;
    case Parity::Mark:
      parity = QLatin1Char('m');
      break;
    case Parity::Space:
      parity = QLatin1Char('s');
      break;
  }
  QString stop;
  switch (config.stopBits) {
    case StopBits::One:
      stop = QStringLiteral("1");
      break;
    case StopBits::OnePointFive:
      stop = QStringLiteral("1.5");
      break;
    case StopBits::Two:
      stop = QStringLiteral("2");
      break;
  }
  return QStringLiteral("%1,%2,%3,%4").arg(config.baud).arg(parity).arg(config.dataBits).arg(stop);
}

Result<FlowControl> flowControlFromCode(int code) {
  switch (code) {
    case 0:
      return FlowControl::None;
    case 1:
      return FlowControl::XonXoff;
    case 2:
      return FlowControl::RtsCts;
    case 3:
      return FlowControl::RtsCtsXonXoff;
    default:
      return fail(LineError::BadFlowControl, QStringLiteral("フロー制御 %1 は使用できません（0～3）").arg(code));
  }
}

}  // namespace kestrune::serial
